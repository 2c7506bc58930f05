#include "app/common/FormWindow.h"

#include "platform/ui/Desktop.h"
#include "platform/ui/ImageZone.h"

#include <QFont>
#include <QIcon>
#include <QPainter>

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
