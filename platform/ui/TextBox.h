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

/** Desktop key code of a Qt key: Enter 13, Space 32, letters and digits their ASCII code. */
short DesktopKeyCode(int qtKey);
/** Desktop shift state: Shift 1, Ctrl 2, Alt 4. */
short DesktopShift(Qt::KeyboardModifiers modifiers);
