#include "platform/ui/Accessibility.h"
#include "platform/ui/ListBox.h"

#include <QAccessible>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class TestListBox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { InstallAccessibility(); } // as the program does at start
    void extent_data();
    void extent();
    void contentDoesNotMoveTheRange();
    void mouseAndKeysSelect();
    void pastTheEndReadsEmpty();
    void accessibleEntries();

private:
    std::unique_ptr<ListBox> makeList()
    {
        auto list = std::make_unique<ListBox>();
        list->resize(305, 274);
        list->show();
        if (!QTest::qWaitForWindowExposed(list.get())) qWarning("list box not exposed");
        return list;
    }
};

void TestListBox::extent_data()
{
    QTest::addColumn<int>("extent");
    QTest::addColumn<bool>("scrollBar");
    QTest::newRow("narrower") << 200 << false;
    QTest::newRow("as wide as the list") << 303 << false;
    QTest::newRow("wider") << 600 << true;
}

void TestListBox::extent()
{
    QFETCH(int, extent);
    QFETCH(bool, scrollBar);
    auto list = makeList();
    list->SetHorizontalExtent(extent);
    QScrollBar* bar = list->horizontalScrollBar();
    QTRY_COMPARE(bar->isVisible(), scrollBar);
    QCOMPARE(bar->maximum(), std::max(0, extent - list->viewport()->width()));
}

void TestListBox::contentDoesNotMoveTheRange()
{
    auto list = makeList();
    list->SetHorizontalExtent(900);
    list->AddItem(QString(400, u'W'));
    list->Clear();
    list->AddItem(QStringLiteral("short"));
    QTRY_VERIFY(!list->RefreshPending()); // past the deferred refresh
    QCOMPARE(list->HorizontalExtent(), 900);
    QCOMPARE(list->horizontalScrollBar()->maximum(), 900 - list->viewport()->width());
    list->SetHorizontalExtent(10);
    QTRY_VERIFY(!list->horizontalScrollBar()->isVisible());
}

void TestListBox::mouseAndKeysSelect()
{
    auto list = makeList();
    for (int i = 0; i < 40; ++i)
        list->AddItem(QStringLiteral("item %1").arg(i));
    QSignalSpy clicks(list.get(), &ListBox::Click);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(20, 16 * 2 + 5));
    QCOMPARE(list->ListIndex(), 2);
    QVERIFY(list->Selected(2));
    QCOMPARE(clicks.size(), 1);
    QTest::keyClick(list.get(), Qt::Key_Down);
    QCOMPARE(list->ListIndex(), 3);
    QTest::keyClick(list.get(), Qt::Key_End);
    QCOMPARE(list->ListIndex(), 39);
    QTRY_VERIFY(list->TopIndex() > 0); // scrolled to keep the selection in view
    QCOMPARE(clicks.size(), 3);
    // the selected row is drawn highlighted
    list->SetListIndex(list->TopIndex());
    const QImage shot = list->viewport()->grab().toImage();
    QCOMPARE(shot.pixelColor(150, 8), list->palette().color(QPalette::Highlight));
    QVERIFY(shot.pixelColor(150, 24) != list->palette().color(QPalette::Highlight));
}

void TestListBox::pastTheEndReadsEmpty()
{
    ListBox list;
    list.AddItem(QStringLiteral("only"));
    QCOMPARE(list.List(0), QStringLiteral("only"));
    QCOMPARE(list.List(1), QString());
    QCOMPARE(list.List(-1), QString());
    list.SetListIndex(5);
    QCOMPARE(list.ListIndex(), -1);
}

void TestListBox::accessibleEntries()
{
    auto list = makeList();
    list->AddItem(QStringLiteral("甲"));
    list->AddItem(QStringLiteral("乙"));
    list->SetListIndex(1);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(list.get());
    QCOMPARE(iface->childCount(), 2);
    QCOMPARE(iface->child(0)->text(QAccessible::Name), QStringLiteral("甲"));
    QCOMPARE(iface->child(1)->role(), QAccessible::ListItem);
    QVERIFY(iface->child(1)->state().selected);
    QCOMPARE(iface->indexOfChild(iface->child(1)), 1);
    list->Clear();
    QCOMPARE(iface->childCount(), 0);
}

QTEST_MAIN(TestListBox)
#include "tst_listbox.moc"
