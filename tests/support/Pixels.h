#pragma once

#include <QColor>
#include <QString>

/** Empty when got is within tolerance of expected on every channel, else a description. */
inline QString ColorMismatch(const QColor& got, const QColor& expected, int tolerance = 2)
{
    if (std::abs(got.red() - expected.red()) <= tolerance &&
        std::abs(got.green() - expected.green()) <= tolerance &&
        std::abs(got.blue() - expected.blue()) <= tolerance)
        return {};
    return QStringLiteral("got %1 %2 %3, expected %4 %5 %6")
        .arg(got.red())
        .arg(got.green())
        .arg(got.blue())
        .arg(expected.red())
        .arg(expected.green())
        .arg(expected.blue());
}
