#include "web/ReplyBuffer.h"

void ReplyBuffer::assign(const QString& text)
{
    text_ = text;
    head_ = 0;
}

bool ReplyBuffer::containsSeparator() const
{
    return text_.indexOf(u'|', head_) >= 0;
}

bool ReplyBuffer::takeItem(QString& item)
{
    const qsizetype bar = text_.indexOf(u'|', head_);
    if (bar < 0) return false;
    item = text_.mid(head_, bar - head_);
    head_ = bar + 1;
    if (head_ >= text_.size()) {
        // Everything consumed: drop the storage rather than keep a large reply alive.
        text_.clear();
        head_ = 0;
    }
    return true;
}
