#pragma once

#include <QColor>
#include <Qt>

/** The desktop's vocabulary that windows, controls and tests share: key, mouse button and
 *  shift codes, lengths in twips and colours with red in the low byte. */

constexpr int kTwipsPerPixel = 15; // at 96 dots per inch

constexpr short kKeyNone = 0; // a key the desktop has no code for
constexpr short kKeyReturn = 13;
constexpr short kKeySpace = 32;

constexpr short kLeftButton = 1;
constexpr short kRightButton = 2;
constexpr short kMiddleButton = 4;

constexpr short kShiftMask = 1;
constexpr short kCtrlMask = 2;
constexpr short kAltMask = 4;

/** A colour in the desktop's 32-bit layout: red in bits 0-7, green 8-15, blue 16-23. */
constexpr qint32 Rgb(int red, int green, int blue)
{
    return red | (green << 8) | (blue << 16);
}

/** A colour in the desktop's 32-bit layout as a QColor. */
QColor ColorFromRgbValue(qint32 value);

/** Desktop key code of a Qt key: Enter 13, Space 32, letters and digits their ASCII code, a few
 *  editing keys theirs; kKeyNone for every other key (modifiers, function keys, dead keys). */
short DesktopKeyCode(int qtKey);
/** Desktop shift state: Shift 1, Ctrl 2, Alt 4. */
short DesktopShift(Qt::KeyboardModifiers modifiers);
/** Desktop mouse button code: left 1, right 2, middle 4. */
short DesktopButton(Qt::MouseButton button);
