// Draws the two window backgrounds, the icon and the hand cursor from their pixel designs.
// Usage: reelmate-make-pictures OUTDIR  (writes PNGs; make-pictures.sh turns backgrounds to JPEG)

#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kBackground(50, 58, 69);
const QColor kGlyph(167, 167, 167);
const QColor kExitBlock(67, 76, 85);

/** A film camera (two reels, body, lens to the right) above a download tray, in a 38 x 33 box. */
void DrawCamera(QPainter& p, QPoint at, const QColor& color, const QColor& cutout)
{
    p.save();
    p.translate(at);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(3, 0, 11, 11)); // reels
    p.drawEllipse(QRectF(16, 0, 11, 11));
    p.drawRoundedRect(QRectF(1, 12, 27, 12), 2, 2); // body
    p.drawPolygon(QPolygonF({QPointF(29, 15), QPointF(37, 12), QPointF(37, 24), QPointF(29, 21)}));
    p.setBrush(cutout);
    p.drawEllipse(QRectF(7, 4, 3, 3));
    p.drawEllipse(QRectF(20, 4, 3, 3));
    // tray with a downward arrow
    p.setBrush(color);
    p.drawRect(QRectF(4, 30, 26, 3));
    p.drawRect(QRectF(4, 27, 3, 3));
    p.drawRect(QRectF(27, 27, 3, 3));
    p.drawPolygon(QPolygonF({QPointF(12, 25), QPointF(22, 25), QPointF(17, 30)}));
    p.restore();
}

/** An arrow pointing right out of a door frame, in a 33 x 27 box. */
void DrawExit(QPainter& p, QPoint at, const QColor& color)
{
    p.save();
    p.translate(at);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRect(0, 0, 18, 3);  // frame top
    p.drawRect(0, 0, 3, 27);  // frame side
    p.drawRect(0, 24, 18, 3); // frame bottom
    p.drawRect(15, 0, 3, 7);
    p.drawRect(15, 20, 3, 7);
    p.drawRect(9, 12, 16, 3); // shaft
    p.drawPolygon(QPolygon({QPoint(23, 5), QPoint(33, 13), QPoint(33, 14), QPoint(23, 22)}));
    p.restore();
}

/** Bold title text whose letters fill the rows top..bottom, starting at column left. */
void DrawTitle(QPainter& p, const QString& text, int left, int top, int bottom)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(30);
    const QRect tight = QFontMetrics(font).tightBoundingRect(text);
    font.setPixelSize(qRound(30.0 * (bottom - top + 1) / tight.height()));
    const QRect fit = QFontMetrics(font).tightBoundingRect(text);
    p.setFont(font);
    p.setPen(kGlyph);
    p.drawText(left - fit.left(), top - fit.top(), text);
}

QImage Background(QSize size, int cameraLeft, int titleLeft, const QString& title, int exitLeft,
                  int separatorRows, const QColor& separator)
{
    QImage img(size, QImage::Format_RGB32);
    img.fill(kBackground);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawCamera(p, QPoint(cameraLeft, 12), kGlyph, kBackground);
    DrawTitle(p, title, titleLeft, 19, 40);
    p.fillRect(QRect(exitLeft, 0, size.width() - exitLeft, 58), kExitBlock);
    DrawExit(p, QPoint(exitLeft + 36, 16), kGlyph);
    p.fillRect(QRect(0, 58, size.width(), separatorRows), separator);
    return img;
}

QImage SearchBackground()
{
    QImage img =
        Background(QSize(350, 500), 22, 80, QStringLiteral("Reelmate"), 246, 1, QColor(67, 75, 86));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    // search field with a faint edge along top and bottom
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 49, 58));
    p.drawRoundedRect(QRectF(24, 70, 302, 47), 6, 6);
    p.setBrush(QColor(34, 41, 49));
    p.drawRoundedRect(QRectF(24, 71, 302, 45), 6, 6);
    // magnifier
    p.setPen(QPen(QColor(119, 124, 130), 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(47, 84, 10, 10));
    p.drawLine(QPointF(56, 93), QPointF(61.5, 97.5));
    return img;
}

QImage TorrentBackground()
{
    return Background(QSize(500, 300), 15, 67, QStringLiteral("BT下载 - Reelmate"), 396, 2,
                      kExitBlock);
}

/** The icon, designed on 48 by 48 pixels, drawn at size by size. */
QImage Icon(int size = 48)
{
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    // hard edges: the icon carries a one-bit transparency mask
    p.scale(size / 38.0, size / 38.0);
    p.translate(0, 2);
    DrawCamera(p, QPoint(0, 0), QColor(64, 64, 64), Qt::white);
    p.end();
    // the white download symbol over the body
    QPainter q(&img);
    q.scale(size / 48.0, size / 48.0);
    q.setPen(Qt::NoPen);
    q.setBrush(Qt::white);
    q.drawRect(15, 19, 4, 6);
    q.drawPolygon(QPolygon({QPoint(11, 25), QPoint(23, 25), QPoint(17, 31)}));
    q.drawRect(9, 30, 16, 2);
    q.end();
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            QRgb px = img.pixel(x, y);
            img.setPixel(x, y, qAlpha(px) >= 128 ? (px | 0xFF000000) : 0);
        }
    return img;
}

/** A pointing hand, black outline on white, index finger tip at (6, 0). */
QImage HandCursor()
{
    QImage img(32, 32, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    const QPolygon hand({QPoint(5, 1),   QPoint(6, 0),   QPoint(7, 0),   QPoint(8, 1),
                         QPoint(8, 8),   QPoint(11, 8),  QPoint(12, 9),  QPoint(14, 9),
                         QPoint(15, 10), QPoint(17, 10), QPoint(18, 11), QPoint(18, 17),
                         QPoint(16, 21), QPoint(16, 23), QPoint(7, 23),  QPoint(7, 21),
                         QPoint(2, 15),  QPoint(1, 13),  QPoint(2, 12),  QPoint(3, 12),
                         QPoint(5, 14),  QPoint(5, 1)});
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(Qt::white);
    p.drawPolygon(hand);
    p.drawLine(11, 9, 11, 14);
    p.drawLine(14, 10, 14, 14);
    p.end();
    return img;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    bool ok = SearchBackground().save(out.filePath(QStringLiteral("search.png")));
    ok = TorrentBackground().save(out.filePath(QStringLiteral("torrent.png"))) && ok;
    ok = Icon().save(out.filePath(QStringLiteral("icon.png"))) && ok;
    for (int size : {128, 256}) // for the application menus of an installed program
        ok = Icon(size).save(out.filePath(QStringLiteral("icon-%1.png").arg(size))) && ok;
    ok = HandCursor().save(out.filePath(QStringLiteral("hand.png"))) && ok;
    return ok ? 0 : 1;
}
