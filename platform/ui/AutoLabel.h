#pragma once

#include <QLabel>

/** A label that sizes itself to its text, growing right from its left edge. */
class AutoLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void SetCaption(const QString& text);
};
