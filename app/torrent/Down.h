#pragma once

#include "app/common/Endpoints.h"
#include "app/common/FormWindow.h"
#include "web/TorrentFile.h"

class ImageZone;
class Inet;
class ListBox;
class PButton;

/** The torrent window: pick one of a film's torrents and download it into the program's folder,
 *  or, where that cannot be written (an installed program), the user's download folder. */
class Down : public FormWindow {
    Q_OBJECT
public:
    Down(const Endpoints& endpoints, const QString& saveFolder, Desktop& desktop);

    ListBox* const BTList1;
    ListBox* const BTList;
    PButton* const BTDown;
    ImageZone* const ExitForm;
    ImageZone* const FormMove;
    Inet* const Inet1;

    /** Abandons a running transfer at once: no outcome will be shown or written for it. */
    void AbandonTransfer();

Q_SIGNALS:
    /** The close zone was clicked: the window wants to be unloaded. */
    void Unload();

private:
    void BTDown_Click();
    void Inet1_StateChanged(short State);
    void BTList_Click();
    void FormMove_MouseDown(short Button, short Shift, float X, float Y);
    void ExitForm_Click();
    SaveResult SaveTorrent();
    void ShowOutcome(const QString& text, qint32 color, const QString& detail = {});

    Endpoints endpoints_;
    QString saveFolder_;
};

/** "下载出现异常，请到" + where problems are reported + "提交问题！" */
QString DownloadFailureMessage();
