#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <memory>

/** The button's hover on a real X display when another program holds the pointer: a grab
 *  (a screenshot-area selection, a colour picker) or a window of its own mapped over ours.
 *  Another program is a second X connection; the pointer is moved by warping it, as a user's
 *  hand would. Run under Xvfb with the xcb platform. */
class TestPButtonX11 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void foreignProgramTakesThePointer_data();
    void foreignProgramTakesThePointer();

private:
    void warp(int x, int y);
    QPoint global(QWidget* w) const { return w->mapToGlobal(w->rect().center()); }

    xcb_connection_t* other_ = nullptr; // the other program
    xcb_window_t root_ = 0;
    std::unique_ptr<QWidget> window_;
    PButton* button_ = nullptr;
    QWidget* list_ = nullptr; // where the pointer goes during the grab, inside our window
};

void TestPButtonX11::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs a real X display (QT_QPA_PLATFORM=xcb under Xvfb)");
    other_ = xcb_connect(nullptr, nullptr);
    QVERIFY(!xcb_connection_has_error(other_));
    root_ = xcb_setup_roots_iterator(xcb_get_setup(other_)).data->root;
}

void TestPButtonX11::cleanupTestCase()
{
    if (other_) xcb_disconnect(other_);
}

void TestPButtonX11::init()
{
    window_ = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window_->setGeometry(100, 100, 400, 300);
    button_ = new PButton(window_.get(), Desktop::System());
    button_->setGeometry(20, 20, 150, 50);
    list_ = new QWidget(window_.get());
    list_->setGeometry(200, 150, 150, 100);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    // Into the window first, then onto the button: the window system reports both moves.
    warp(global(list_).x(), global(list_).y());
    QTRY_VERIFY(list_->underMouse());
    warp(global(button_).x(), global(button_).y());
    QTRY_VERIFY(button_->Hovering());
}

void TestPButtonX11::cleanup()
{
    xcb_ungrab_pointer(other_, XCB_CURRENT_TIME);
    xcb_flush(other_);
    window_.reset();
    warp(5, 5);
}

void TestPButtonX11::warp(int x, int y)
{
    xcb_warp_pointer(other_, XCB_NONE, root_, 0, 0, 0, 0, int16_t(x), int16_t(y));
    xcb_flush(other_);
}

void TestPButtonX11::foreignProgramTakesThePointer_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("grab, move onto the list, let go") << "grab-move-ungrab";
    QTest::newRow("move out of the window during a grab") << "grab-move-out";
    QTest::newRow("a window mapped under the resting pointer") << "map-over";
}

void TestPButtonX11::foreignProgramTakesThePointer()
{
    QFETCH(QString, what);
    if (what.startsWith(u"grab")) {
        const auto cookie = xcb_grab_pointer(
            other_, 0, root_, XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_PRESS,
            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
        std::unique_ptr<xcb_grab_pointer_reply_t, decltype(&free)> grabbed(
            xcb_grab_pointer_reply(other_, cookie, nullptr), &free);
        QVERIFY(grabbed && grabbed->status == XCB_GRAB_STATUS_SUCCESS);
        if (what.endsWith(u"out")) {
            warp(700, 600);
        } else {
            warp(global(list_).x(), global(list_).y());
            xcb_ungrab_pointer(other_, XCB_CURRENT_TIME);
            xcb_flush(other_);
        }
    } else {
        // An override-redirect window of the other program, over ours, under the pointer.
        const xcb_window_t cover = xcb_generate_id(other_);
        const uint32_t values[] = {1};
        xcb_create_window(other_, XCB_COPY_FROM_PARENT, cover, root_, 0, 0, 600, 500, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(other_, cover);
        xcb_flush(other_);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!button_->Hovering(), 500);
}

QTEST_MAIN(TestPButtonX11)
#include "tst_pbutton_x11.moc"
