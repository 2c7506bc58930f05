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
    // Where the controls must stand against what the background draws, not the layout table
    // read back: the text box inside the drawn field, the zones over the title band, nothing
    // visible overlapping or leaving the window.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("within"); // in window pixels
    QTest::newRow("FindText inside the drawn search field") << "FindText" << QRect(71, 71, 259, 45);
    QTest::newRow("FormMove over the title band") << "FormMove" << QRect(0, 0, 249, 57);
    QTest::newRow("ExitForm over the exit block") << "ExitForm" << QRect(248, 0, 105, 57);
    QTest::newRow("DownList below the field") << "DownList" << QRect(0, 118, 353, 370);
    QTest::newRow("BTDown below the list") << "BTDown" << QRect(0, 426, 353, 62);
}

void TestMainLayout::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, within);
    QWidget* w = main_->findChild<QWidget*>(name);
    QVERIFY(w);
    QVERIFY2(within.contains(w->geometry()), qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                                            .arg(name)
                                                            .arg(w->x())
                                                            .arg(w->y())
                                                            .arg(w->width())
                                                            .arg(w->height())));
    // The image zones may run past the window's edge and meet (the close zone wins at the
    // seam): the zones test checks that. The controls a user works with may not.
    const auto zone = [](const QWidget* c) { return c->inherits("ImageZone"); };
    if (zone(w)) return;
    QVERIFY(main_->rect().contains(w->geometry()));
    for (QWidget* other : main_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (other != w && other->isVisible() && !zone(other))
            QVERIFY2(!other->geometry().intersects(w->geometry()),
                     qPrintable(name + QStringLiteral(" overlaps ") + other->objectName()));
    QVERIFY(!main_->UrlList->isVisible());
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
    // What the controls draw in the real window, over the background the pictures test checks.
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("text box in the field's colour") << QPoint(300, 97) << QColor(34, 41, 49);
    QTest::newRow("button face") << QPoint(30, 440) << QColor(67, 75, 85);
    QTest::newRow("list lets the background show") << QPoint(200, 400) << QColor(50, 58, 69);
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
