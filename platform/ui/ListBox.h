#pragma once

#include <QAbstractScrollArea>
#include <QStringList>
#include <QTimer>

/** A list box: rows of one height, single selection, and a horizontal scroll range that changes
 *  only when SetHorizontalExtent sets it. Appending is cheap: the view catches up at display rate.
 */
class ListBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    void AddItem(const QString& item);
    void Clear();
    int ListCount() const { return int(items_.size()); }
    /** Entry index, or the empty text for an index past the end. */
    QString List(int index) const;
    bool Selected(int index) const { return index >= 0 && index == selected_; }
    /** The selected index, -1 when nothing is selected. */
    int ListIndex() const { return selected_; }
    void SetListIndex(int index);
    int TopIndex() const;

    /** The scroll range in pixels, as LB_SETHORIZONTALEXTENT sets it: a scroll bar appears
     *  while it exceeds the list's width; nothing else changes it. */
    void SetHorizontalExtent(int pixels);
    int HorizontalExtent() const { return extent_; }

    int RowHeight() const { return rowHeight_; }
    void SetRowHeight(int pixels);
    /** Rectangle of a row in viewport coordinates. */
    QRect ItemRect(int index) const;
    int IndexAt(QPoint viewportPos) const;
    /** True while a change waits for the next refresh of the view. */
    bool RefreshPending() const { return refreshTimer_.isActive(); }

Q_SIGNALS:
    /** The user picked an entry, or the selection was set from code. */
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void scheduleRefresh();
    void refresh();
    void updateRanges();
    int visibleRows() const;
    void select(int index, bool byUser);
    void ensureVisible(int index);

    QStringList items_;
    int selected_ = -1;
    int extent_ = 0;
    int rowHeight_ = 16;
    QTimer refreshTimer_;
};
