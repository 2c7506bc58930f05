#pragma once

#include <QString>

/** The text of the last reply, consumed item by item from the front. Taking an item moves a
 *  read position instead of copying the rest, so cutting up a reply costs time linear in its size.
 */
class ReplyBuffer {
public:
    /** Replaces the whole text; readers still cutting up the old one find it gone. */
    void assign(const QString& text);
    /** What has not been consumed yet. */
    QString text() const { return text_.mid(head_); }
    bool isEmpty() const { return head_ >= text_.size(); }
    bool containsSeparator() const;
    /** Takes the text before the next "|" and the "|" itself; false when there is no "|". */
    bool takeItem(QString& item);

private:
    qsizetype nextBar() const;

    QString text_;
    qsizetype head_ = 0;
    /** Where the next "|" is, once looked up: asking and then taking scans the item once. */
    mutable qsizetype bar_ = -1;
};
