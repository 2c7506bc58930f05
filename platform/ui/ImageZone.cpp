#include "platform/ui/ImageZone.h"

#include "platform/ui/DesktopCodes.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMouseEvent>

namespace {

/** A named zone is a push button (the close zones); an unnamed one is no control at all. */
class ImageZoneAccessible : public QAccessibleWidget {
public:
    explicit ImageZoneAccessible(ImageZone* zone) : QAccessibleWidget(zone, QAccessible::Button) {}
    QAccessible::Role role() const override
    {
        return widget()->accessibleName().isEmpty() ? QAccessible::NoRole : QAccessible::Button;
    }
    QStringList actionNames() const override
    {
        return role() == QAccessible::Button ? QStringList{pressAction()} : QStringList{};
    }
    void doAction(const QString& action) override
    {
        if (action == pressAction() && role() == QAccessible::Button)
            Q_EMIT static_cast<ImageZone*>(widget())->Click();
    }
};

QAccessibleInterface* ImageZoneFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("ImageZone") && object && object->isWidgetType())
        return new ImageZoneAccessible(static_cast<ImageZone*>(object));
    return nullptr;
}

} // namespace

ImageZone::ImageZone(QWidget* parent) : QWidget(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(&ImageZoneFactory);
        return true;
    }();
    Q_UNUSED(installed);
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
    const QPointF twips = event->position() * 15.0;
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
