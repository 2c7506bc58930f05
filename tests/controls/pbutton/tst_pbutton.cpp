#include "FakeDesktop.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/Accessibility.h"

#include <QAccessible>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

namespace {

/** Records property reports and redraws in the order they happen. */
struct Journal {
    QStringList events;
    explicit Journal(PButton& b)
    {
        QObject::connect(&b, &PButton::PropertyChanged, [this](const QString& n) { events << n; });
        QObject::connect(&b, &PButton::FaceRedrawn, [this] { events << QStringLiteral("redraw"); });
    }
};

/** Ink of the caption: the box of pixels that differ from the fill. */
QRect Ink(const QImage& face, const QColor& fill)
{
    QRect box;
    for (int y = 0; y < face.height(); ++y)
        for (int x = 0; x < face.width(); ++x)
            if (face.pixelColor(x, y) != fill) box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestPButton : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { InstallAccessibility(); } // as the program does at start
    void init();
    void cleanup()
    {
        button_.reset();
        desktop_.reset();
    }
    void workedExampleFadeIn();
    void leaveReversesFromColourReached();
    void moveOverHoveredRedrawsTwice();
    void colorBackEndsFadeOut();
    void disabledGating_data();
    void disabledGating();
    void disabledStillFadesOut();
    void keys_data();
    void keys();
    void keyUpClicksOnlyAfterItsKeyDown_data();
    void keyUpClicksOnlyAfterItsKeyDown();
    void mouseClickSequence();
    void colorBeginDiscards();
    void colorBackReportsInOrder();
    void colorEndDoesNotRedraw();
    void enabledLeavesFace();
    void saveDefaultsStoresNothing();
    void loadPartialData();
    void faceCentredAndPressed();
    void emptyCaptionPlainFill();
    void faceSurvivesExposure();
    void accessibleButton();

private:
    void move() { moveTo(QPoint(5, 5)); }
    void moveTo(QPoint at)
    {
        QMouseEvent ev(QEvent::MouseMove, at, button_->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                       Qt::NoModifier);
        QApplication::sendEvent(button_.get(), &ev);
    }
    ManualTicker* timer1() { return static_cast<ManualTicker*>(button_->Timer1()); }
    ManualTicker* timer2() { return static_cast<ManualTicker*>(button_->Timer2()); }
    void fadeIn()
    {
        move();
        while (timer2()->Enabled())
            timer2()->step();
    }

    std::unique_ptr<FakeDesktop> desktop_;
    std::unique_ptr<PButton> button_;
};

void TestPButton::init()
{
    desktop_ = std::make_unique<FakeDesktop>();
    button_ = std::make_unique<PButton>(nullptr, *desktop_);
    button_->resize(120, 40);
    button_->show();
    QVERIFY(QTest::qWaitForWindowExposed(button_.get()));
    desktop_->windowUnderCursor = button_.get();
}

void TestPButton::workedExampleFadeIn()
{
    const QList<int> green = {170, 165, 160, 155, 150, 145, 140, 135, 130, 125, 120, 116};
    const QList<int> blue = {247, 252, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    move();
    QVERIFY(button_->Hovering());
    QVERIFY(timer1()->Enabled() && timer2()->Enabled());
    for (int tick = 0; tick < 12; ++tick) {
        QVERIFY2(timer2()->Enabled(), qPrintable(QStringLiteral("tick %1").arg(tick + 1)));
        timer2()->step();
        QCOMPARE(button_->FillColor(), Rgb(2, green[tick], blue[tick]));
        QCOMPARE(button_->Face().pixelColor(1, 1), QColor(2, green[tick], blue[tick]));
    }
    QVERIFY(!timer2()->Enabled());
    QCOMPARE(button_->FillColor(), button_->Color_End());
    QVERIFY(timer1()->Enabled());
}

void TestPButton::leaveReversesFromColourReached()
{
    move();
    for (int i = 0; i < 4; ++i)
        timer2()->step();
    QCOMPARE(button_->FillColor(), Rgb(2, 155, 255));
    desktop_->windowUnderCursor = nullptr;
    timer1()->step();
    QVERIFY(!button_->Hovering());
    QVERIFY(!timer1()->Enabled());
    QVERIFY(timer2()->Enabled());
    timer2()->step();
    QCOMPARE(button_->FillColor(), Rgb(0, 160, 250));
    while (timer2()->Enabled())
        timer2()->step();
    QCOMPARE(button_->FillColor(), button_->Color_Back());
}

void TestPButton::moveOverHoveredRedrawsTwice()
{
    fadeIn();
    QSignalSpy redraws(button_.get(), &PButton::FaceRedrawn);
    move();
    QVERIFY(timer2()->Enabled());
    timer2()->step();
    QCOMPARE(redraws.size(), 2);
    QVERIFY(!timer2()->Enabled());
    QCOMPARE(button_->FillColor(), button_->Color_End());
}

void TestPButton::colorBackEndsFadeOut()
{
    fadeIn();
    desktop_->windowUnderCursor = nullptr;
    timer1()->step();
    timer2()->step();
    button_->SetColor_Back(Rgb(10, 20, 30));
    QCOMPARE(button_->FillColor(), Rgb(10, 20, 30));
    timer2()->step();
    QVERIFY(!timer2()->Enabled());
    QCOMPARE(button_->FillColor(), Rgb(10, 20, 30));
}

void TestPButton::disabledGating_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("redraws");
    QTest::addColumn<bool>("timersOn");
    QTest::newRow("move") << "move" << 0 << false;
    QTest::newRow("press") << "press" << 0 << false;
    QTest::newRow("release") << "release" << 1 << false;
    QTest::newRow("click") << "click" << 1 << false;
    QTest::newRow("double click") << "dblclick" << 2 << false;
    QTest::newRow("Enter down") << "enterdown" << 0 << false;
    QTest::newRow("Enter up") << "enterup" << 1 << false;
    QTest::newRow("Space up") << "spaceup" << 1 << false;
}

void TestPButton::disabledGating()
{
    QFETCH(QString, action);
    QFETCH(int, redraws);
    QFETCH(bool, timersOn);
    button_->SetEnabled(false);
    QSignalSpy click(button_.get(), &PButton::Click), dbl(button_.get(), &PButton::DblClick),
        down(button_.get(), &PButton::MouseDown), up(button_.get(), &PButton::MouseUp),
        moved(button_.get(), &PButton::MouseMove), redrawn(button_.get(), &PButton::FaceRedrawn);
    const QImage before = button_->Face();
    const QPoint at(10, 10);
    if (action == u"move")
        move();
    else if (action == u"press")
        QTest::mousePress(button_.get(), Qt::LeftButton, {}, at);
    else if (action == u"release")
        QTest::mouseRelease(button_.get(), Qt::LeftButton, {}, at);
    else if (action == u"click")
        QTest::mouseClick(button_.get(), Qt::LeftButton, {}, at);
    else if (action == u"dblclick") {
        QTest::mouseClick(button_.get(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(button_.get(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(button_.get(), Qt::LeftButton, {}, at);
    } else if (action == u"enterdown")
        QTest::keyPress(button_.get(), Qt::Key_Return);
    else if (action == u"enterup")
        QTest::keyRelease(button_.get(), Qt::Key_Return);
    else if (action == u"spaceup")
        QTest::keyRelease(button_.get(), Qt::Key_Space);
    QCOMPARE(click.size() + dbl.size() + down.size() + up.size() + moved.size(), 0);
    QVERIFY(!button_->Pressed());
    QCOMPARE(redrawn.size(), redraws);
    QCOMPARE(timer1()->Enabled() || timer2()->Enabled(), timersOn);
    QCOMPARE(button_->Face(), before); // no caption shift at any moment that lasted
}

void TestPButton::disabledStillFadesOut()
{
    fadeIn();
    button_->SetEnabled(false);
    desktop_->windowUnderCursor = nullptr;
    timer1()->step();
    while (timer2()->Enabled())
        timer2()->step();
    QCOMPARE(button_->FillColor(), button_->Color_Back());
}

void TestPButton::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("counts");
    QTest::newRow("Return (13)") << int(Qt::Key_Return) << true;
    QTest::newRow("keypad Enter (13)") << int(Qt::Key_Enter) << true;
    QTest::newRow("Space (32)") << int(Qt::Key_Space) << true;
    QTest::newRow("A") << int(Qt::Key_A) << false;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
    // Keys without a code of their own; Shift's Qt value ends in 0x20, Space's code.
    QTest::newRow("Shift") << int(Qt::Key_Shift) << false;
    QTest::newRow("Control") << int(Qt::Key_Control) << false;
    QTest::newRow("Alt") << int(Qt::Key_Alt) << false;
    QTest::newRow("AltGr") << int(Qt::Key_AltGr) << false;
    QTest::newRow("Meta") << int(Qt::Key_Meta) << false;
    QTest::newRow("Super") << int(Qt::Key_Super_L) << false;
    QTest::newRow("Caps Lock") << int(Qt::Key_CapsLock) << false;
    QTest::newRow("Num Lock") << int(Qt::Key_NumLock) << false;
    QTest::newRow("F1") << int(Qt::Key_F1) << false;
    QTest::newRow("F13 (0x0100003c)") << int(Qt::Key_F13) << false;
    QTest::newRow("dead acute") << int(Qt::Key_Dead_Acute) << false;
    QTest::newRow("Multi_key (compose)") << int(Qt::Key_Multi_key) << false;
    QTest::newRow("Codeinput (input method)") << int(Qt::Key_Codeinput) << false;
    QTest::newRow("Menu") << int(Qt::Key_Menu) << false;
    QTest::newRow("unknown") << int(Qt::Key_unknown) << false;
    QTest::newRow("Camera (0x01100020)") << int(Qt::Key_Camera) << false;
    QTest::newRow("last media key") << int(Qt::Key_MediaLast) << false;
}

void TestPButton::keys()
{
    QFETCH(int, key);
    QFETCH(bool, counts);
    QSignalSpy click(button_.get(), &PButton::Click);
    QSignalSpy redrawn(button_.get(), &PButton::FaceRedrawn);
    // Sent as the window system sends them, without a text (QTest has none for most of these).
    QTest::sendKeyEvent(QTest::Press, button_.get(), Qt::Key(key), QString(), Qt::NoModifier);
    QCOMPARE(button_->Pressed(), counts);
    QCOMPARE(redrawn.size(), counts ? 1 : 0); // the face never shows a press for other keys
    QTest::sendKeyEvent(QTest::Release, button_.get(), Qt::Key(key), QString(), Qt::NoModifier);
    QVERIFY(!button_->Pressed());
    QCOMPARE(click.size(), counts ? 1 : 0);
}

void TestPButton::keyUpClicksOnlyAfterItsKeyDown_data()
{
    QTest::addColumn<QString>("keys"); // v: down, ^: up, R: Enter, S: Space, f: focus lost
    QTest::addColumn<int>("clicks");
    QTest::newRow("Enter down and up") << "vR^R" << 1;
    QTest::newRow("up alone") << "^S" << 0;
    QTest::newRow("Space down, Enter up") << "vS^R" << 0;
    QTest::newRow("focus lost between") << "vRf^R" << 0;
    QTest::newRow("a second up") << "vR^R^R" << 1;
    QTest::newRow("Enter and Space overlapping") << "vRvS^R^S" << 2;
    QTest::newRow("Space around Enter") << "vSvR^R^S" << 2;
    QTest::newRow("Enter held while Space goes up alone") << "vR^S^R" << 1;
}

void TestPButton::keyUpClicksOnlyAfterItsKeyDown()
{
    QFETCH(QString, keys);
    QFETCH(int, clicks);
    QSignalSpy click(button_.get(), &PButton::Click);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QChar c = keys[i];
        if (c == u'f') {
            QFocusEvent out(QEvent::FocusOut);
            QApplication::sendEvent(button_.get(), &out);
            continue;
        }
        const Qt::Key key = keys[++i] == u'R' ? Qt::Key_Return : Qt::Key_Space;
        if (c == u'v')
            QTest::keyPress(button_.get(), key);
        else
            QTest::keyRelease(button_.get(), key);
    }
    QCOMPARE(click.size(), clicks);
    QVERIFY(!button_->Pressed());
}

void TestPButton::mouseClickSequence()
{
    QStringList order;
    connect(button_.get(), &PButton::MouseDown, this, [&](short b, short, float x, float y) {
        order << QStringLiteral("down %1 %2 %3").arg(b).arg(x).arg(y);
    });
    connect(button_.get(), &PButton::MouseUp, this,
            [&](short b, short, float, float) { order << QStringLiteral("up %1").arg(b); });
    connect(button_.get(), &PButton::Click, this, [&] { order << QStringLiteral("click"); });
    QTest::mousePress(button_.get(), Qt::LeftButton, {}, QPoint(10, 4));
    QVERIFY(button_->Pressed());
    QTest::mouseRelease(button_.get(), Qt::LeftButton, {}, QPoint(10, 4));
    QTest::mouseClick(button_.get(), Qt::RightButton, {}, QPoint(10, 4));
    QCOMPARE(order, QStringList({"down 1 150 60", "up 1", "click", "down 2 150 60", "up 2"}));
}

void TestPButton::colorBeginDiscards()
{
    Journal journal(*button_);
    button_->SetColor_Begin(Rgb(1, 2, 3));
    QCOMPARE(button_->Color_Begin(), button_->Color_Back());
    QCOMPARE(journal.events, QStringList{"Color_Begin"});
}

void TestPButton::colorBackReportsInOrder()
{
    Journal journal(*button_);
    button_->SetColor_Back(Rgb(67, 75, 85));
    QCOMPARE(journal.events, QStringList({"Color_Begin", "redraw", "Color_Back"}));
    QCOMPARE(button_->Color_Begin(), Rgb(67, 75, 85));
    QCOMPARE(button_->Face().pixelColor(1, 1), QColor(67, 75, 85));
}

void TestPButton::colorEndDoesNotRedraw()
{
    fadeIn();
    Journal journal(*button_);
    button_->SetColor_End(Rgb(9, 9, 9));
    QCOMPARE(journal.events, QStringList{"Color_End"});
    QCOMPARE(button_->FillColor(), Rgb(2, 116, 255)); // until the next move starts a fade
}

void TestPButton::enabledLeavesFace()
{
    const QImage before = button_->grab().toImage();
    Journal journal(*button_);
    button_->SetEnabled(false);
    QCOMPARE(journal.events, QStringList{"Enabled"});
    QCOMPARE(button_->grab().toImage(), before);
}

void TestPButton::saveDefaultsStoresNothing()
{
    PropertyBag bag;
    button_->WriteProperties(bag);
    QVERIFY(bag.isEmpty());
    button_->SetText(QStringLiteral("下载"));
    button_->SetFont_Size(13);
    button_->WriteProperties(bag);
    QCOMPARE(bag.entries().size(), 2);
    QCOMPARE(bag.entries().at(0).first, QStringLiteral("Text"));
    QCOMPARE(bag.entries().at(1).first, QStringLiteral("Font_Size"));
}

void TestPButton::loadPartialData()
{
    button_->SetColor_Back(Rgb(1, 1, 1));
    button_->SetColor_Text(Rgb(255, 255, 255));
    button_->SetFont_Bold(true);
    QSignalSpy reports(button_.get(), &PButton::PropertyChanged);
    button_->ReadProperties(PropertyBag{{QStringLiteral("text"), QStringLiteral("下载")},
                                        {QStringLiteral("font_size"), 13}});
    QCOMPARE(reports.size(), 0);
    QCOMPARE(button_->Text(), QStringLiteral("下载"));
    QCOMPARE(button_->Font_Size(), short(13));
    QCOMPARE(button_->Font_Bold(), false);
    QCOMPARE(button_->Color_Back(), 0x00F2AF00);
    QCOMPARE(button_->Color_Text(), 0);
    QCOMPARE(button_->FillColor(), 0x00F2AF00);
    const QColor fill(0, 175, 242);
    QCOMPARE(button_->Face().pixelColor(1, 1), fill);
    const QRect ink = Ink(button_->Face(), fill);
    QVERIFY(!ink.isEmpty());
    int darkest = 255;
    for (int y = ink.top(); y <= ink.bottom(); ++y)
        for (int x = ink.left(); x <= ink.right(); ++x)
            darkest = std::min(darkest, button_->Face().pixelColor(x, y).lightness());
    QVERIFY2(darkest < 40, "the caption is drawn in black");
}

void TestPButton::faceCentredAndPressed()
{
    button_->SetColor_Back(Rgb(67, 75, 85));
    button_->SetColor_Text(Rgb(255, 255, 255));
    const QColor fill(67, 75, 85);
    const QRect rest = Ink(button_->Face(), fill);
    QVERIFY(!rest.isEmpty());
    QTest::mousePress(button_.get(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(Ink(button_->Face(), fill), rest.translated(2, 2));
    QTest::mouseRelease(button_.get(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(Ink(button_->Face(), fill), rest);
    // centred again in a new size: 40 pixels wider and 20 taller moves it by 20 and 10
    button_->resize(160, 60);
    QCOMPARE(Ink(button_->Face(), fill), rest.translated(20, 10));
    QVERIFY(qAbs(rest.center().x() - button_->width() / 2 + 20) <= 3);
}

void TestPButton::emptyCaptionPlainFill()
{
    button_->SetText(QString());
    QVERIFY(Ink(button_->Face(), QColor(0, 175, 242)).isEmpty());
}

void TestPButton::faceSurvivesExposure()
{
    button_->SetColor_Back(Rgb(200, 10, 10));
    button_->hide();
    button_->show();
    QVERIFY(QTest::qWaitForWindowExposed(button_.get()));
    QCOMPARE(button_->grab().toImage().pixelColor(2, 2), QColor(200, 10, 10));
}

void TestPButton::accessibleButton()
{
    button_->SetText(QStringLiteral("下载"));
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(button_.get());
    QCOMPARE(iface->role(), QAccessible::Button);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("下载"));
    QVERIFY(iface->state().focusable);
    QSignalSpy click(button_.get(), &PButton::Click);
    iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(click.size(), 1);
}

QTEST_MAIN(TestPButton)
#include "tst_pbutton.moc"
