#pragma once

#include "app/common/FormLayout.h"

#include <QPixmap>
#include <QWidget>

class Desktop;
class ImageZone;

/** A frameless window drawn from its background picture, with the controls of its layout. */
class FormWindow : public QWidget {
    Q_OBJECT
    Q_CLASSINFO("Accessible", "window")
public:
    FormWindow(const FormSpec& spec, Desktop& desktop, QWidget* parent = nullptr);

    /** The layout's control of that name; a misspelt name or another kind is a fault of the
     *  program, and ends it at once. */
    template <class T> T* control(const QString& name) const
    {
        T* found = qobject_cast<T*>(controls_.value(name));
        if (!found)
            qFatal("%s has no %s named %s", qPrintable(objectName()),
                   T::staticMetaObject.className(), qPrintable(name));
        return found;
    }
    Desktop& desktop() const { return desktop_; }
    /** Centres the window over a rectangle of the screen (the screen itself, or another window). */
    void CentreOver(const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
    /** Releases the capture and lets the window system move the window with the pointer. */
    void DragWindow(ImageZone* zone);

private:
    Desktop& desktop_;
    QPixmap picture_;
    QHash<QString, QWidget*> controls_;
};

/** Lets the design's font names find an installed CJK face. */
void InstallFontSubstitutes();
/** The hand cursor of the close zones. */
QCursor HandCursor();
