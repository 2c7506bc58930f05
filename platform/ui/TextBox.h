#pragma once

#include <QLineEdit>

/** A one-line text box that reports every key press (as a desktop key code) before editing. */
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

Q_SIGNALS:
    /** KeyCode as the desktop numbers keys (Enter 13, Space 32, letters upper-case ASCII). */
    void KeyDown(short KeyCode, short Shift);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
