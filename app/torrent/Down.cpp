#include "app/torrent/Down.h"

#include "app/torrent/DownLayout.h"
#include "controls/pbutton/PButton.h"
#include "platform/core/Inet.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"
#include "web/TorrentFile.h"
#include "web/TorrentLink.h"

#include <stdexcept>

namespace {

constexpr qint32 kIdleText = Rgb(142, 144, 146);
constexpr qint32 kSavedText = Rgb(128, 255, 128);
constexpr qint32 kFailedText = Rgb(255, 128, 128);

} // namespace

QString DownloadFailureMessage()
{
    return QStringLiteral("下载出现异常，请到") +
           QStringLiteral("https://reelmate.example.org/issues") + QStringLiteral("提交问题！");
}

Down::Down(const Endpoints& endpoints, const QString& saveFolder, Desktop& desktop)
    : FormWindow(DownLayout(), desktop), BTList1(control<ListBox>(QStringLiteral("BTList1"))),
      BTList(control<ListBox>(QStringLiteral("BTList"))),
      BTDown(control<PButton>(QStringLiteral("BTDown"))),
      ExitForm(control<ImageZone>(QStringLiteral("ExitForm"))),
      FormMove(control<ImageZone>(QStringLiteral("FormMove"))), Inet1(new Inet(this)),
      endpoints_(endpoints), saveFolder_(saveFolder)
{
    setObjectName(QStringLiteral("Down"));
    Inet1->setObjectName(QStringLiteral("Inet1"));
    Inet1->setRemotePort(80);
    Inet1->setRequestTimeout(60);
    if (endpoints_.download) Inet1->setLimits(*endpoints_.download);
    ExitForm->setCursor(HandCursor());
    connect(BTDown, &PButton::Click, this, &Down::BTDown_Click);
    connect(Inet1, &Inet::StateChanged, this, &Down::Inet1_StateChanged);
    connect(BTList, &ListBox::Click, this, &Down::BTList_Click);
    connect(FormMove, &ImageZone::MouseDown, this, &Down::FormMove_MouseDown);
    connect(ExitForm, &ImageZone::Click, this, &Down::ExitForm_Click);
    BTList->setFocus();
}

void Down::AbandonTransfer()
{
    disconnect(Inet1, nullptr, this, nullptr);
    Inet1->Cancel();
}

void Down::BTDown_Click()
{
    try {
        const int k = BTList->ListIndex();
        if (k == -1) return;
        const QString s = BTList1->List(k);
        QString id, hash;
        if (!CutIdAndHash(s, id, hash)) throw std::runtime_error("link without id and hash");
        const QString body =
            QStringLiteral("action=download&id=") + id + QStringLiteral("&uhash=") + hash;
        Inet1->Execute(endpoints_.site + QStringLiteral("/download.php"), QStringLiteral("POST"),
                       body, QStringLiteral("Content-Type: application/x-www-form-urlencoded"));
    } catch (const std::exception&) {
        desktop().MessageBox(this, QStringLiteral("Reelmate"), DownloadFailureMessage());
    }
}

void Down::Inet1_StateChanged(short State)
{
    switch (State) {
    case Inet::icError:
        ShowOutcome(QStringLiteral("下载出错"), kFailedText, QStringLiteral("传输失败"));
        break;
    case Inet::icResponseCompleted: {
        const SaveResult saved = SaveTorrent();
        if (saved)
            ShowOutcome(QStringLiteral("下载完成！"), kSavedText,
                        QStringLiteral("已保存到 %1").arg(saved.path));
        else
            ShowOutcome(QStringLiteral("下载出错"), kFailedText, saved.error);
        break;
    }
    default:
        break;
    }
}

SaveResult Down::SaveTorrent()
{
    // The name is the torrent picked now, not when the download was asked for.
    const int k = BTList->ListIndex();
    const QString name = k >= 0 ? CleanTorrentName(BTList->List(k)) : QString();
    const QByteArray data = Inet1->GetChunk(0, Inet::icByteArray);
    SaveResult nothing;
    // An error status or a page that is no torrent is a failed download, not a file.
    if (name.isEmpty())
        nothing.error = QStringLiteral("没有选中可用作文件名的种子");
    else if (Inet1->ResponseCode() >= 400)
        nothing.error = QStringLiteral("网站返回错误 %1").arg(Inet1->ResponseCode());
    else if (!IsBencodedDictionary(data))
        nothing.error = QStringLiteral("网站返回的不是种子文件");
    else
        return SaveTorrentFile(saveFolder_, name, data);
    return nothing;
}

void Down::ShowOutcome(const QString& text, qint32 color, const QString& detail)
{
    BTDown->SetText(text);
    BTDown->SetColor_Text(color);
    // Where the file went, or why none was written, for the pointer and the screen reader.
    BTDown->setToolTip(detail);
    BTDown->setAccessibleDescription(detail);
}

void Down::BTList_Click()
{
    ShowOutcome(QStringLiteral("下载"), kIdleText);
}

void Down::FormMove_MouseDown(short, short, float, float)
{
    DragWindow(FormMove);
}

void Down::ExitForm_Click()
{
    Q_EMIT Unload();
}
