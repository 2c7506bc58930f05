// The real desktop's pointer answers: from the window system's own reports while the pointer is
// inside one of our windows, from the server otherwise, and never over a window that covers.
// Its message box: the title, the text and one OK button, nothing else.
#include "platform/ui/Desktop.h"
#include "web/Functions.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestDesktop : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pointerOverControl_data();
    void pointerOverControl();
    void messageBox();
};

namespace {

void Report(QWidget* widget, QEvent::Type type, QPoint global, Qt::MouseButtons buttons = {})
{
    const QPointF local = widget->mapFromGlobal(QPointF(global));
    if (type == QEvent::Enter) {
        QEnterEvent enter(local, local, QPointF(global));
        QApplication::sendEvent(widget, &enter);
    } else if (type == QEvent::Leave) {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(widget, &leave);
    } else {
        QMouseEvent move(type, local, QPointF(global), Qt::NoButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    }
}

} // namespace

void TestDesktop::pointerOverControl_data()
{
    QTest::addColumn<QString>("cover");   // "", "ours" (entered), "foreign" (a leave only)
    QTest::addColumn<bool>("held");       // a button held while the pointer moved
    QTest::addColumn<bool>("serverOver"); // what the server says when asked
    QTest::addColumn<bool>("over");
    QTest::newRow("reported on the control, server not asked") << "" << false << false << true;
    QTest::newRow("button held: the server decides, off") << "" << true << false << false;
    QTest::newRow("button held: the server decides, on") << "" << true << true << true;
    QTest::newRow("our other window on top") << "ours" << false << true << false;
    QTest::newRow("another program's window on top") << "foreign" << false << true << false;
    QTest::newRow("window moved, the server finds it there") << "moved" << false << true << true;
    QTest::newRow("let go after a drag: the server decides")
        << "released" << true << false << false;
}

void TestDesktop::pointerOverControl()
{
    QFETCH(QString, cover);
    QFETCH(bool, held);
    QFETCH(bool, serverOver);
    QFETCH(bool, over);
    Desktop& desktop = Desktop::System();
    QWidget window;
    window.setGeometry(100, 100, 300, 200);
    QPushButton control(&window);
    control.setGeometry(50, 50, 100, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint spot = control.mapToGlobal(control.rect().center());
    QCursor::setPos(serverOver ? spot : QPoint(2, 2)); // where the server would say it is

    Report(&window, QEvent::Enter, spot);
    Report(&control, QEvent::Enter, spot);
    Report(&control, QEvent::MouseMove, spot, held ? Qt::LeftButton : Qt::NoButton);

    QWidget covering;
    if (cover == u"released") {
        QMouseEvent release(QEvent::MouseButtonRelease, control.mapFromGlobal(QPointF(spot)),
                            QPointF(spot), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&control, &release);
    } else if (cover == u"moved") {
        // Moved by the window manager with the pointer held, then let go over the control.
        const QPoint to = window.pos() + QPoint(150, 30);
        window.move(to);
        QTRY_COMPARE(window.pos(), to);
        QCursor::setPos(control.mapToGlobal(control.rect().center()));
    } else if (!cover.isEmpty()) {
        covering.setGeometry(
            control.geometry().translated(window.pos()).adjusted(-10, -10, 10, 10));
        covering.show();
        QVERIFY(QTest::qWaitForWindowExposed(&covering));
        Report(&window, QEvent::Leave, spot); // as the server reports a window coming between
        // Only into a window of ours does the pointer come with a report; for another
        // program's window there is the leave alone, and the server, asked, finds it on top.
        if (cover == u"ours") Report(&covering, QEvent::Enter, spot);
    }
    QCOMPARE(IsCursorOverWindow(&control, desktop), over);
}

void TestDesktop::messageBox()
{
    QWidget parent;
    parent.show();
    QPointer<QMessageBox> shown;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::Information;
    QStringList buttons;
    bool iconPixmapEmpty = false;
    QTimer::singleShot(0, this, [&] {
        shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!shown) return;
        title = shown->windowTitle();
        text = shown->text();
        icon = shown->icon();
        iconPixmapEmpty = shown->iconPixmap().isNull();
        for (QAbstractButton* button : shown->buttons())
            buttons << button->text();
        QTest::keyClick(shown, Qt::Key_Return); // the user closes it with Enter
    });
    Desktop::System().MessageBox(&parent, QStringLiteral("Reelmate"),
                                 QStringLiteral("下载出现异常，请到x提交问题！"));
    QVERIFY2(!title.isEmpty(), "no message box was shown");
    QCOMPARE(title, QStringLiteral("Reelmate"));
    QCOMPARE(text, QStringLiteral("下载出现异常，请到x提交问题！"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QVERIFY(iconPixmapEmpty);
    QCOMPARE(buttons.size(), 1);
    QVERIFY(shown.isNull() || !shown->isVisible()); // closed once the call returned
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
