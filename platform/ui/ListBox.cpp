#include "platform/ui/ListBox.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

namespace {

constexpr int kTextIndent = 2;

} // namespace

ListBox::ListBox(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(16);
    connect(&refreshTimer_, &QTimer::timeout, this, &ListBox::refresh);
}

void ListBox::AddItem(const QString& item)
{
    items_.append(item);
    scheduleRefresh();
}

void ListBox::Clear()
{
    items_.clear();
    selected_ = -1;
    scheduleRefresh();
}

QString ListBox::List(int index) const
{
    return index >= 0 && index < items_.size() ? items_.at(index) : QString();
}

void ListBox::SetListIndex(int index)
{
    select(index, false);
}

int ListBox::TopIndex() const
{
    return verticalScrollBar()->value();
}

void ListBox::SetHorizontalExtent(int pixels)
{
    extent_ = std::max(0, pixels);
    updateRanges();
}

void ListBox::SetRowHeight(int pixels)
{
    rowHeight_ = std::max(1, pixels);
    refresh();
}

QRect ListBox::ItemRect(int index) const
{
    const int y = (index - TopIndex()) * rowHeight_;
    const int width = std::max(viewport()->width(), extent_);
    return QRect(-horizontalScrollBar()->value(), y, width, rowHeight_);
}

int ListBox::IndexAt(QPoint viewportPos) const
{
    if (viewportPos.y() < 0) return -1;
    const int index = TopIndex() + viewportPos.y() / rowHeight_;
    return index < ListCount() ? index : -1;
}

void ListBox::paintEvent(QPaintEvent* event)
{
    QPainter p(viewport());
    const QRect dirty = event->rect();
    const int first = TopIndex() + dirty.top() / rowHeight_;
    const int last = std::min<int>(ListCount() - 1, TopIndex() + dirty.bottom() / rowHeight_);
    const int x = kTextIndent - horizontalScrollBar()->value();
    const int ascent = fontMetrics().ascent();
    const int baselineOffset = (rowHeight_ - fontMetrics().height()) / 2 + ascent;
    for (int i = first; i <= last; ++i) {
        const QRect row = ItemRect(i);
        if (i == selected_) {
            p.fillRect(QRect(0, row.top(), viewport()->width(), rowHeight_),
                       palette().brush(QPalette::Highlight));
            p.setPen(palette().color(QPalette::HighlightedText));
        } else {
            p.setPen(palette().color(QPalette::Text));
        }
        p.drawText(x, row.top() + baselineOffset, items_.at(i));
    }
}

void ListBox::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    const int index = IndexAt(event->position().toPoint());
    if (index >= 0) select(index, true);
}

void ListBox::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton)) return;
    const QPoint pos = event->position().toPoint();
    const int y = std::clamp(pos.y(), 0, visibleRows() * rowHeight_ - 1);
    const int index = IndexAt(QPoint(pos.x(), y));
    if (index >= 0 && index != selected_) select(index, true);
}

void ListBox::keyPressEvent(QKeyEvent* event)
{
    const int page = std::max(1, visibleRows() - 1);
    int target = selected_;
    switch (event->key()) {
    case Qt::Key_Up:
        target = std::max(0, selected_ - 1);
        break;
    case Qt::Key_Down:
        target = selected_ + 1;
        break;
    case Qt::Key_PageUp:
        target = std::max(0, selected_ - page);
        break;
    case Qt::Key_PageDown:
        target = selected_ + page;
        break;
    case Qt::Key_Home:
        target = 0;
        break;
    case Qt::Key_End:
        target = ListCount() - 1;
        break;
    case Qt::Key_Left:
        horizontalScrollBar()->triggerAction(QScrollBar::SliderSingleStepSub);
        return;
    case Qt::Key_Right:
        horizontalScrollBar()->triggerAction(QScrollBar::SliderSingleStepAdd);
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (ListCount() == 0) return;
    target = std::clamp(target, 0, ListCount() - 1);
    if (target != selected_) select(target, true);
}

void ListBox::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateRanges();
}

void ListBox::scrollContentsBy(int, int)
{
    viewport()->update();
}

void ListBox::scheduleRefresh()
{
    if (!refreshTimer_.isActive()) refreshTimer_.start();
}

void ListBox::refresh()
{
    refreshTimer_.stop();
    updateRanges();
    viewport()->update();
}

void ListBox::updateRanges()
{
    QScrollBar* v = verticalScrollBar();
    const int rows = visibleRows();
    v->setRange(0, std::max(0, ListCount() - rows));
    v->setPageStep(rows);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, extent_ - viewport()->width()));
    h->setPageStep(viewport()->width());
    h->setSingleStep(std::max(1, fontMetrics().averageCharWidth()));
}

int ListBox::visibleRows() const
{
    return std::max(1, viewport()->height() / rowHeight_);
}

void ListBox::select(int index, bool byUser)
{
    if (index < -1 || index >= ListCount()) return;
    if (index == selected_ && !byUser) return;
    const bool changed = index != selected_;
    selected_ = index;
    if (changed) {
        ensureVisible(index);
        viewport()->update();
        if (index >= 0 && QAccessible::isActive()) {
            QAccessibleEvent ev(this, QAccessible::Selection);
            ev.setChild(index);
            QAccessible::updateAccessibility(&ev);
        }
    }
    Q_EMIT Click();
}

void ListBox::ensureVisible(int index)
{
    if (index < 0) return;
    updateRanges();
    QScrollBar* v = verticalScrollBar();
    if (index < v->value())
        v->setValue(index);
    else if (index >= v->value() + visibleRows())
        v->setValue(index - visibleRows() + 1);
}
