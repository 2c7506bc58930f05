#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

/** The button on a real X display. Its hover when another program holds the pointer: a grab
 *  (a screenshot-area selection, a colour picker) or a window of its own mapped over ours.
 *  Its keys as the X server delivers them: held keys repeat, modifiers are keys too.
 *  Another program is a second X connection; the pointer is moved by warping it and keys are
 *  pressed through XTEST, as a user's hand would. Run under Xvfb with the xcb platform. */
class TestPButtonX11 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void foreignProgramTakesThePointer_data();
    void foreignProgramTakesThePointer();
    void heldKeyClicksOnce_data();
    void heldKeyClicksOnce();
    void otherKeysNeverPress_data();
    void otherKeysNeverPress();

private:
    void warp(int x, int y);
    /** The key code that gives keysym, given one of the keyboard's spare codes if need be. */
    xcb_keycode_t keycodeFor(xcb_keysym_t keysym);
    void fakeKey(uint8_t type, xcb_keycode_t code);
    /** Our window active with the button focused, and the key code of keysym (0: none). */
    xcb_keycode_t focusAndKeycode(xcb_keysym_t keysym);
    /** Types a key nobody else uses and waits until the button has seen it come up: everything
     *  the server sent our window before it has then been handled. */
    void settle();
    QPoint global(QWidget* w) const { return w->mapToGlobal(w->rect().center()); }

    xcb_connection_t* other_ = nullptr; // the other program
    xcb_window_t root_ = 0;
    std::unique_ptr<QWidget> window_;
    PButton* button_ = nullptr;
    QWidget* list_ = nullptr; // where the pointer goes during the grab, inside our window
};

namespace {

constexpr xcb_keysym_t kReturn = 0xff0d, kSpace = 0x20, kShiftL = 0xffe1, kShiftR = 0xffe2,
                       kControlL = 0xffe3, kCapsLock = 0xffe5, kMetaL = 0xffe7, kAltL = 0xffe9,
                       kAltR = 0xffea, kSuperL = 0xffeb, kHyperL = 0xffed, kAltGr = 0xfe03,
                       kNumLock = 0xff7f, kF1 = 0xffbe, kF12 = 0xffc9, kMenu = 0xff67,
                       kEscape = 0xff1b, kMultiKey = 0xff20, kDeadAcute = 0xfe51,
                       kDeadCircumflex = 0xfe52, kKanji = 0xff21, kHangul = 0xff31,
                       kScrollLock = 0xff14,
                       kSentinel = 0xffc8; // F11: a key the tests never look at

/** Counts the key events of one key that reach a widget, repeats included. */
class KeyCounter : public QObject {
public:
    KeyCounter(QWidget* target, int key) : key_(key) { target->installEventFilter(this); }
    int presses = 0, releases = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            if (static_cast<QKeyEvent*>(event)->key() == key_)
                (event->type() == QEvent::KeyPress ? presses : releases) += 1;
        }
        return false;
    }

private:
    int key_;
};

/** Keeps a core busy in another process while it lives, as a loaded machine would. */
class BusyLoop {
public:
    BusyLoop() : pid_(fork())
    {
        if (pid_ == 0) {
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
    }
    ~BusyLoop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    BusyLoop(const BusyLoop&) = delete;
    BusyLoop& operator=(const BusyLoop&) = delete;

private:
    pid_t pid_;
};

} // namespace

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

xcb_keycode_t TestPButtonX11::keycodeFor(xcb_keysym_t keysym)
{
    const xcb_setup_t* setup = xcb_get_setup(other_);
    const int first = setup->min_keycode, count = setup->max_keycode - setup->min_keycode + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&free)> map(
        xcb_get_keyboard_mapping_reply(
            other_, xcb_get_keyboard_mapping(other_, setup->min_keycode, uint8_t(count)), nullptr),
        &free);
    if (!map) return 0;
    const int perCode = map->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    int spare = 0;
    for (int i = count - 1; i >= 0; --i) {
        if (syms[i * perCode] == keysym) return xcb_keycode_t(first + i);
        bool empty = true;
        for (int j = 0; j < perCode; ++j)
            empty = empty && syms[i * perCode + j] == 0;
        if (empty && !spare) spare = first + i;
    }
    if (!spare) return 0;
    // Not on this keyboard: put it on a spare code, as a user's own layout would have it.
    std::vector<xcb_keysym_t> one(size_t(perCode), 0);
    one[0] = keysym;
    xcb_change_keyboard_mapping(other_, 1, xcb_keycode_t(spare), uint8_t(perCode), one.data());
    xcb_flush(other_);
    return xcb_keycode_t(spare);
}

void TestPButtonX11::fakeKey(uint8_t type, xcb_keycode_t code)
{
    xcb_test_fake_input(other_, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(other_);
}

xcb_keycode_t TestPButtonX11::focusAndKeycode(xcb_keysym_t keysym)
{
    window_->activateWindow();
    button_->setFocus();
    return QTest::qWaitForWindowActive(window_.get()) ? keycodeFor(keysym) : 0;
}

void TestPButtonX11::settle()
{
    KeyCounter sentinel(button_, Qt::Key_F11);
    const xcb_keycode_t code = keycodeFor(kSentinel);
    QVERIFY(code);
    fakeKey(XCB_KEY_PRESS, code);
    fakeKey(XCB_KEY_RELEASE, code);
    QTRY_VERIFY(sentinel.releases > 0);
}

void TestPButtonX11::heldKeyClicksOnce_data()
{
    QTest::addColumn<uint>("keysym");
    QTest::addColumn<int>("key");
    QTest::newRow("Enter held for a second") << uint(kReturn) << int(Qt::Key_Return);
    QTest::newRow("Space held for a second") << uint(kSpace) << int(Qt::Key_Space);
}

void TestPButtonX11::heldKeyClicksOnce()
{
    QFETCH(uint, keysym);
    QFETCH(int, key);
    const xcb_keycode_t code = focusAndKeycode(keysym);
    QVERIFY(code);
    QSignalSpy click(button_, &PButton::Click);
    KeyCounter seen(button_, key);
    {
        const BusyLoop load;
        fakeKey(XCB_KEY_PRESS, code);
        // Held until the server has repeated it for about a second (25 repeats a second after
        // the first 660 ms, the X server's defaults; a loaded one may send fewer).
        QTRY_VERIFY_WITH_TIMEOUT(seen.presses >= 6, 10000);
        QVERIFY(button_->Pressed());
        // No key-up at all while the key is held: whether a repeat is told from a real release
        // must not depend on how fast the two reach this process.
        QCOMPARE(seen.releases, 0);
        fakeKey(XCB_KEY_RELEASE, code);
        settle();
    }
    QVERIFY(!button_->Pressed());
    QCOMPARE(click.size(), 1);
}

void TestPButtonX11::otherKeysNeverPress_data()
{
    QTest::addColumn<uint>("keysym");
    QTest::newRow("Shift (left)") << uint(kShiftL);
    QTest::newRow("Shift (right)") << uint(kShiftR);
    QTest::newRow("Control") << uint(kControlL);
    QTest::newRow("Alt (left)") << uint(kAltL);
    QTest::newRow("Alt (right)") << uint(kAltR);
    QTest::newRow("AltGr (ISO_Level3_Shift)") << uint(kAltGr);
    QTest::newRow("Meta") << uint(kMetaL);
    QTest::newRow("Super") << uint(kSuperL);
    QTest::newRow("Hyper") << uint(kHyperL);
    QTest::newRow("Caps Lock") << uint(kCapsLock);
    QTest::newRow("Num Lock") << uint(kNumLock);
    QTest::newRow("Scroll Lock") << uint(kScrollLock);
    QTest::newRow("F1") << uint(kF1);
    QTest::newRow("F12") << uint(kF12);
    QTest::newRow("Menu") << uint(kMenu);
    QTest::newRow("Escape") << uint(kEscape);
    QTest::newRow("Compose (Multi_key)") << uint(kMultiKey);
    QTest::newRow("dead acute") << uint(kDeadAcute);
    QTest::newRow("dead circumflex") << uint(kDeadCircumflex);
    QTest::newRow("Kanji (input method)") << uint(kKanji);
    QTest::newRow("Hangul (input method)") << uint(kHangul);
}

void TestPButtonX11::otherKeysNeverPress()
{
    QFETCH(uint, keysym);
    const xcb_keycode_t code = focusAndKeycode(keysym);
    QVERIFY(code);
    QSignalSpy click(button_, &PButton::Click);
    int pressedSeen = 0;
    connect(button_, &PButton::FaceRedrawn, this, [&] { pressedSeen += button_->Pressed(); });
    fakeKey(XCB_KEY_PRESS, code);
    fakeKey(XCB_KEY_RELEASE, code);
    if (keysym == kCapsLock || keysym == kNumLock || keysym == kScrollLock) {
        // Locks toggle: a second tap leaves the keyboard as the next row expects it.
        fakeKey(XCB_KEY_PRESS, code);
        fakeKey(XCB_KEY_RELEASE, code);
    }
    settle();
    QCOMPARE(click.size(), 0);
    QCOMPARE(pressedSeen, 0);
    QVERIFY(!button_->Pressed());
}

QTEST_MAIN(TestPButtonX11)
#include "tst_pbutton_x11.moc"
