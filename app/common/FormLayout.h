#pragma once

#include "controls/pbutton/PropertyBag.h"
#include "platform/ui/DesktopCodes.h"

#include <QHash>
#include <QRect>
#include <QString>
#include <QWidget>

#include <vector>

class Desktop;

/** One control of a window's stored layout; places are in twips, colours in the desktop's
 *  32-bit layout (red in the low byte). */
struct ControlSpec {
    enum class Kind { TextBox, ListBox, Label, ImageZone, PButton };
    QString name;
    Kind kind;
    QRect twips;
    qint32 backColor = -1; // -1: transparent / not set
    qint32 foreColor = -1;
    QString text = {};
    /** What a screen reader calls the control. An image zone without one is not exposed; one
     *  with one is a push button (the close zones). */
    QString speech = {};
    bool visible = true;
    int tabIndex = -1; // -1: none
    PropertyBag stored =
        {}; // the button's stored entries, lower-case keys as the window keeps them
};

/** A window's stored layout: its settings and its controls, back to front. */
struct FormSpec {
    QString title;
    QSize clientPixels;
    QString picture;                              // resource path of the background
    QString controlFont = QStringLiteral("宋体"); // family of the text controls
    int controlFontPoints = 12;
    std::vector<ControlSpec> controls;
};

/** The colours of both windows' lists. */
constexpr qint32 kListBack = Rgb(50, 58, 69);
constexpr qint32 kListText = Rgb(119, 124, 130);

/** The stored entries of both windows' download button "下载" (lower-case keys, as stored). */
PropertyBag DownloadButtonEntries();
/** Twips to pixels, rounded to the nearest pixel. */
QRect PixelsFromTwips(const QRect& twips);

/** Creates the controls of the layout on the form, back to front, and sets the tab order. */
QHash<QString, QWidget*> BuildControls(QWidget* form, const FormSpec& spec, Desktop& desktop);
