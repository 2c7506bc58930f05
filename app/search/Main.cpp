#include "app/search/Main.h"

#include "app/common/ParallelFill.h"
#include "app/search/MainLayout.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/DesktopCodes.h"
#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"
#include "web/Functions.h"
#include "web/Functions1.h"

#include <QApplication>
#include <QPointer>
#include <QScreen>

#include <cmath>

QString ResultText(qsizetype hits)
{
    return QStringLiteral("共搜到相关结果") + QString::number(hits) + QStringLiteral("个。");
}

Main::Main(const Endpoints& endpoints, Desktop& desktop)
    : FormWindow(MainLayout(), desktop), FindText(control<TextBox>(QStringLiteral("FindText"))),
      DownList(control<ListBox>(QStringLiteral("DownList"))),
      UrlList(control<ListBox>(QStringLiteral("UrlList"))),
      resultstr(control<AutoLabel>(QStringLiteral("resultstr"))),
      BTDown(control<PButton>(QStringLiteral("BTDown"))),
      FormMove(control<ImageZone>(QStringLiteral("FormMove"))),
      ExitForm(control<ImageZone>(QStringLiteral("ExitForm"))), endpoints_(endpoints),
      windowFont_(QApplication::font())
{
    setObjectName(QStringLiteral("Main"));
    ExitForm->setCursor(HandCursor());
    connect(FindText, &TextBox::KeyDown, this, &Main::FindText_KeyDown);
    connect(FormMove, &ImageZone::MouseDown, this, &Main::FormMove_MouseDown);
    connect(ExitForm, &ImageZone::Click, this, &Main::ExitForm_Click);
    if (QScreen* screen = QGuiApplication::primaryScreen()) CentreOver(screen->availableGeometry());
    BTDown->setFocus();
}

void Main::FindText_KeyDown(short KeyCode, short Shift)
{
    Q_UNUSED(Shift);
    if (KeyCode == kKeyReturn) {
        DownList->Clear();
        UrlList->Clear();
        extentCounted_ = 0;
        extentChars_ = 0;
        const quint64 search = ++searches_;
        const QString url = endpoints_.relay + QStringLiteral("/moviejk/Find.php?url=") +
                            endpoints_.site + QStringLiteral("/s.php?q=") +
                            UrlEncodeUtf8(FindText->text());
        if (!Fetch(url, endpoints_.fetch).completed) {
            // Say so rather than report that the film does not exist.
            resultstr->SetCaption(QStringLiteral("无法连接服务器"));
            return;
        }
        if (ReplyText.isEmpty()) {
            resultstr->SetCaption(ResultText(0));
            return;
        }
        QPointer<Main> self(this);
        // n counts as the loop always has: one more than the items taken.
        const qsizetype n = 1 + FillParallelLists(
                                    [this] {
                                        return ListPair{DownList, UrlList};
                                    },
                                    [&] { return self && search == searches_; });
        if (!self) return;
        if (search == searches_) resultstr->SetCaption(ResultText(n / 2));
    }
    windowFont_.setPointSize(DownList->font().pointSize());
    SetDownListExtent();
}

void Main::SetDownListExtent()
{
    if (DownList->ListCount() < extentCounted_) extentCounted_ = extentChars_ = 0;
    qint16 m = extentChars_;
    for (int i = extentCounted_; i < DownList->ListCount(); ++i) {
        const qsizetype length = DownList->List(i).size();
        if (length > m) m = qint16(std::min<qsizetype>(length + 2, 32767));
    }
    extentCounted_ = DownList->ListCount();
    extentChars_ = m;
    const QFontMetrics fm(windowFont_);
    const int w1 = fm.horizontalAdvance(QStringLiteral("AA "));
    if (float(m) * float(w1) > float(DownList->width())) {
        const int w2 = fm.horizontalAdvance(QStringLiteral("a"));
        DownList->SetHorizontalExtent(int(std::lrint(float(m) * float(w2))));
    }
}

void Main::FormMove_MouseDown(short, short, float, float)
{
    DragWindow(FormMove);
}

void Main::ExitForm_Click()
{
    desktop().EndProgram();
}
