#include "app/common/FormWindow.h"

#include "platform/ui/Desktop.h"
#include "platform/ui/ImageZone.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFont>
#include <QIcon>
#include <QPainter>

namespace {

/** The window as assistive technology sees it: a frame named by its title, holding only the
 *  controls a user can see and use (no hidden lists, no drag zones). */
class FormWindowAccessible : public QAccessibleWidget {
public:
    explicit FormWindowAccessible(QWidget* form) : QAccessibleWidget(form, QAccessible::Window) {}
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? widget()->windowTitle() : QAccessibleWidget::text(t);
    }
    int childCount() const override { return int(exposed().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> children = exposed();
        return index >= 0 && index < children.size()
                   ? QAccessible::queryAccessibleInterface(children[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child ? int(exposed().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }

private:
    QList<QWidget*> exposed() const
    {
        QList<QWidget*> shown;
        for (QWidget* w : widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (w->isWindow() || !w->isVisibleTo(widget())) continue;
            const QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
            if (iface && iface->role() != QAccessible::NoRole) shown << w;
        }
        return shown;
    }
};

QAccessibleInterface* FormWindowFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("FormWindow") && object && object->isWidgetType())
        return new FormWindowAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

void InstallFontSubstitutes()
{
    const QStringList cjk = {QStringLiteral("WenQuanYi Zen Hei"),
                             QStringLiteral("Noto Sans CJK SC"),
                             QStringLiteral("Droid Sans Fallback")};
    for (const char16_t* family : {u"宋体", u"微软雅黑", u"SimSun", u"Microsoft YaHei"})
        QFont::insertSubstitutions(QString::fromUtf16(family), cjk);
}

QCursor HandCursor()
{
    return QCursor(QPixmap(QStringLiteral(":/reelmate/hand.png")), 6, 0);
}

FormWindow::FormWindow(const FormSpec& spec, Desktop& desktop, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), desktop_(desktop),
      picture_(spec.picture)
{
    static const bool installed = [] {
        QAccessible::installFactory(&FormWindowFactory);
        return true;
    }();
    Q_UNUSED(installed);
    setWindowTitle(spec.title);
    setWindowIcon(QIcon(QStringLiteral(":/reelmate/icon.png")));
    setFixedSize(spec.clientPixels);
    setAttribute(Qt::WA_OpaquePaintEvent);
    controls_ = BuildControls(this, spec, desktop);
}

void FormWindow::CentreOver(const QRect& area)
{
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void FormWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // Where the picture does not reach (the torrent window's last two rows): the design's ground.
    p.fillRect(rect(), QColor(50, 58, 69));
    p.drawPixmap(0, 0, picture_);
}

void FormWindow::DragWindow(ImageZone* zone)
{
    desktop_.ReleaseCapture();
    if (!desktop_.StartSystemMove(this))
        zone->FollowPointer(); // no move loop of the window system here: follow by hand
}
