#include "web/ReplyBuffer.h"

void ReplyBuffer::assign(const QString& text)
{
    text_ = text;
    head_ = 0;
    bar_ = -1;
}

qsizetype ReplyBuffer::nextBar() const
{
    if (bar_ < head_) bar_ = text_.indexOf(u'|', head_);
    return bar_;
}

bool ReplyBuffer::containsSeparator() const
{
    return nextBar() >= 0;
}

bool ReplyBuffer::takeItem(QString& item)
{
    const qsizetype bar = nextBar();
    if (bar < 0) return false;
    item = text_.mid(head_, bar - head_);
    head_ = bar + 1;
    if (head_ >= text_.size()) {
        // Everything consumed: drop the storage rather than keep a large reply alive.
        text_.clear();
        head_ = 0;
        bar_ = -1;
    }
    return true;
}
