#include "platform/ui/ImageZone.h"

#include "platform/ui/DesktopCodes.h"

#include <QMouseEvent>

ImageZone::ImageZone(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
}

void ImageZone::FollowPointer()
{
    following_ = true;
    grabOffset_ = QCursor::pos() - window()->frameGeometry().topLeft();
}

void ImageZone::mousePressEvent(QMouseEvent* event)
{
    pressed_ = true;
    const QPointF twips = event->position() * double(kTwipsPerPixel);
    Q_EMIT MouseDown(DesktopButton(event->button()), DesktopShift(event->modifiers()),
                     float(twips.x()), float(twips.y()));
}

void ImageZone::mouseMoveEvent(QMouseEvent* event)
{
    if (following_) window()->move(event->globalPosition().toPoint() - grabOffset_);
}

void ImageZone::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasFollowing = following_;
    following_ = false;
    const bool click = pressed_ && !wasFollowing && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click) Q_EMIT Click();
}
