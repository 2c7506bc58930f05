#include "FakeDesktop.h"
#include "Pixels.h"
#include "TestHttpServer.h"
#include "app/search/Main.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QApplication>
#include <QTest>

class TestMainLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup() { main_.reset(); }
    void window();
    void geometry_data();
    void geometry();
    void tabOrderAndFirstFocus();
    void urlListNeverShown();
    void pixels_data();
    void pixels();
    void zones_data();
    void zones();
    void enterOnButtonStartsNoSearch();
    void closeZoneCursor();

private:
    TestHttpServer relay_;
    FakeDesktop desktop_;
    std::unique_ptr<Main> main_;
};

void TestMainLayout::init()
{
    relay_.reply(200, "Hit one|/f/1|Hit two|/f/2|");
    Endpoints endpoints;
    endpoints.relay = relay_.url();
    endpoints.site = QStringLiteral("http://site.test");
    desktop_ = FakeDesktop();
    main_ = std::make_unique<Main>(endpoints, desktop_);
    main_->show();
    QVERIFY(QTest::qWaitForWindowExposed(main_.get()));
}

void TestMainLayout::window()
{
    QCOMPARE(main_->windowTitle(), QStringLiteral("Reelmate"));
    QCOMPARE(main_->size(), QSize(349, 494));
    QVERIFY(main_->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!main_->windowIcon().isNull());
    QCOMPARE(main_->minimumSize(), main_->maximumSize()); // not resizable
}

void TestMainLayout::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("FindText") << "FindText" << QRect(75, 85, 241, 25);
    QTest::newRow("BTDown") << "BTDown" << QRect(24, 432, 305, 49);
    QTest::newRow("UrlList") << "UrlList" << QRect(368, 64, 305, 242);
    QTest::newRow("DownList") << "DownList" << QRect(24, 152, 305, 274);
    QTest::newRow("FormMove") << "FormMove" << QRect(0, 0, 249, 57);
    QTest::newRow("ExitForm") << "ExitForm" << QRect(248, 0, 105, 57);
}

void TestMainLayout::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QWidget* w = main_->findChild<QWidget*>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), pixels);
    QCOMPARE(w->isVisible(), name != u"UrlList");
}

void TestMainLayout::tabOrderAndFirstFocus()
{
    QApplication::setActiveWindow(main_.get());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(main_->BTDown));
    QCOMPARE(main_->BTDown->nextInFocusChain(), static_cast<QWidget*>(main_->FindText));
    QTest::keyClick(main_->BTDown, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(main_->FindText));
    QTest::keyClick(main_->FindText, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(main_->DownList));
    QTest::keyClick(main_->DownList, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(main_->BTDown));
    // the label sits 24 pixels above the list and sizes itself to its 16 full-width characters
    QCOMPARE(main_->resultstr->pos(), QPoint(24, 128));
    QCOMPARE(main_->resultstr->width(),
             16 * QFontMetrics(main_->resultstr->font()).horizontalAdvance(u'输'));
}

void TestMainLayout::urlListNeverShown()
{
    main_->FindText->setText(QStringLiteral("x"));
    QTest::keyClick(main_->FindText, Qt::Key_Return);
    QCOMPARE(main_->UrlList->ListCount(), 2);
    QVERIFY(!main_->UrlList->isVisible());
    QVERIFY(!main_->rect().intersects(main_->UrlList->geometry()));
}

void TestMainLayout::pixels_data()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("background") << QPoint(10, 300) << QColor(50, 58, 69);
    QTest::newRow("title band glyph") << QPoint(32, 30) << QColor(167, 167, 167);
    QTest::newRow("exit block") << QPoint(260, 5) << QColor(67, 76, 85);
    QTest::newRow("separator") << QPoint(100, 58) << QColor(67, 75, 86);
    QTest::newRow("search field") << QPoint(30, 100) << QColor(34, 41, 49);
    QTest::newRow("text box") << QPoint(300, 97) << QColor(34, 41, 49);
    QTest::newRow("list background") << QPoint(200, 400) << QColor(50, 58, 69);
    QTest::newRow("button face") << QPoint(30, 440) << QColor(67, 75, 85);
}

void TestMainLayout::pixels()
{
    QFETCH(QPoint, at);
    QFETCH(QColor, expected);
    const QPixmap shot = main_->grab();
    const QImage image = shot.toImage();
    const QString mismatch =
        ColorMismatch(image.pixelColor(at * shot.devicePixelRatio()), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestMainLayout::zones_data()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("moves");
    QTest::addColumn<int>("exits");
    QTest::newRow("left press on the drag zone") << QPoint(10, 10) << int(Qt::LeftButton) << 1 << 0;
    QTest::newRow("right press on the drag zone")
        << QPoint(120, 40) << int(Qt::RightButton) << 1 << 0;
    QTest::newRow("middle press on the drag zone")
        << QPoint(247, 56) << int(Qt::MiddleButton) << 1 << 0;
    QTest::newRow("column 248 closes") << QPoint(248, 20) << int(Qt::LeftButton) << 0 << 1;
    QTest::newRow("right edge closes") << QPoint(348, 56) << int(Qt::LeftButton) << 0 << 1;
    QTest::newRow("row 57 is neither") << QPoint(100, 57) << int(Qt::LeftButton) << 0 << 0;
    QTest::newRow("row 57 under the exit block")
        << QPoint(300, 57) << int(Qt::LeftButton) << 0 << 0;
}

void TestMainLayout::zones()
{
    QFETCH(QPoint, at);
    QFETCH(int, button);
    QFETCH(int, moves);
    QFETCH(int, exits);
    QTest::mouseClick(main_->windowHandle(), Qt::MouseButton(button), {}, at);
    QCOMPARE(desktop_.moves.size(), moves);
    if (moves) QCOMPARE(desktop_.moves.first(), static_cast<QWidget*>(main_.get()));
    QCOMPARE(desktop_.captureReleases, moves);
    QCOMPARE(desktop_.exits, exits);
}

void TestMainLayout::enterOnButtonStartsNoSearch()
{
    QApplication::setActiveWindow(main_.get());
    QTRY_VERIFY(main_->BTDown->hasFocus());
    const qsizetype before = relay_.requests().size();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(relay_.requests().size(), before);
    QCOMPARE(main_->resultstr->text(), QStringLiteral("输入电影名称后回车即可搜索电影！"));
}

void TestMainLayout::closeZoneCursor()
{
    const QCursor cursor = main_->ExitForm->cursor();
    QCOMPARE(cursor.shape(), Qt::BitmapCursor);
    QCOMPARE(cursor.hotSpot(), QPoint(6, 0));
    QCOMPARE(main_->FormMove->cursor().shape(), Qt::ArrowCursor);
}

QTEST_MAIN(TestMainLayout)
#include "tst_mainlayout.moc"
