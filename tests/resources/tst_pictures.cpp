#include "Pixels.h"

#include <QImage>
#include <QTest>

class TestPictures : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void flatAreas_data();
    void flatAreas();
    void sizes_data();
    void sizes();
    void iconMask();
    void handCursor();
};

void TestPictures::flatAreas_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("design");
    const QString search = QStringLiteral(":/reelmate/search.jpg");
    const QString torrent = QStringLiteral(":/reelmate/torrent.jpg");
    QTest::newRow("search background") << search << QPoint(10, 300) << QColor(50, 58, 69);
    QTest::newRow("search background, bottom right")
        << search << QPoint(349, 499) << QColor(50, 58, 69);
    QTest::newRow("search title band") << search << QPoint(70, 50) << QColor(50, 58, 69);
    QTest::newRow("search camera body") << search << QPoint(32, 30) << QColor(167, 167, 167);
    QTest::newRow("search exit block") << search << QPoint(260, 5) << QColor(67, 76, 85);
    QTest::newRow("search exit block, last row") << search << QPoint(340, 57) << QColor(67, 76, 85);
    QTest::newRow("search exit arrow") << search << QPoint(297, 29) << QColor(167, 167, 167);
    QTest::newRow("search separator") << search << QPoint(100, 58) << QColor(67, 75, 86);
    QTest::newRow("search field") << search << QPoint(200, 93) << QColor(34, 41, 49);
    QTest::newRow("search field top edge") << search << QPoint(150, 70) << QColor(40, 49, 58);
    QTest::newRow("search field bottom edge") << search << QPoint(150, 116) << QColor(40, 49, 58);
    QTest::newRow("search below the field") << search << QPoint(150, 118) << QColor(50, 58, 69);
    QTest::newRow("torrent background") << torrent << QPoint(250, 200) << QColor(50, 58, 69);
    QTest::newRow("torrent camera body") << torrent << QPoint(25, 30) << QColor(167, 167, 167);
    QTest::newRow("torrent exit block") << torrent << QPoint(398, 3) << QColor(67, 76, 85);
    QTest::newRow("torrent exit arrow") << torrent << QPoint(447, 29) << QColor(167, 167, 167);
    QTest::newRow("torrent separator 58") << torrent << QPoint(250, 58) << QColor(67, 76, 85);
    QTest::newRow("torrent separator 59") << torrent << QPoint(10, 59) << QColor(67, 76, 85);
    QTest::newRow("torrent under separator") << torrent << QPoint(10, 60) << QColor(50, 58, 69);
    QTest::newRow("torrent title band") << torrent << QPoint(390, 50) << QColor(50, 58, 69);
}

void TestPictures::flatAreas()
{
    QFETCH(QString, file);
    QFETCH(QPoint, at);
    QFETCH(QColor, design);
    const QImage image(file);
    QVERIFY(!image.isNull());
    const QString mismatch = ColorMismatch(image.pixelColor(at), design);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestPictures::sizes_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");
    QTest::newRow("search") << ":/reelmate/search.jpg" << QSize(350, 500);
    QTest::newRow("torrent") << ":/reelmate/torrent.jpg" << QSize(500, 300);
    QTest::newRow("icon") << ":/reelmate/icon.png" << QSize(48, 48);
    QTest::newRow("hand") << ":/reelmate/hand.png" << QSize(32, 32);
}

void TestPictures::sizes()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);
    QCOMPARE(QImage(file).size(), size);
}

void TestPictures::iconMask()
{
    const QImage icon =
        QImage(QStringLiteral(":/reelmate/icon.png")).convertToFormat(QImage::Format_ARGB32);
    int opaque = 0, white = 0;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x) {
            const QColor c = icon.pixelColor(x, y);
            QVERIFY(c.alpha() == 0 || c.alpha() == 255); // a one-bit mask
            opaque += c.alpha() == 255;
            white += c.alpha() == 255 && c == Qt::white;
        }
    QCOMPARE(icon.pixelColor(0, 47).alpha(), 0);
    QVERIFY(opaque > 400);
    QVERIFY(white > 20); // the download symbol
}

void TestPictures::handCursor()
{
    const QImage hand =
        QImage(QStringLiteral(":/reelmate/hand.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(hand.pixelColor(6, 0), QColor(Qt::black)); // the fingertip is the hot spot
    QCOMPARE(hand.pixelColor(0, 0).alpha(), 0);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const QColor c = hand.pixelColor(x, y);
            QVERIFY(c.alpha() == 0 || c == Qt::black || c == Qt::white);
        }
}

QTEST_GUILESS_MAIN(TestPictures)
#include "tst_pictures.moc"
