#include "app/torrent/DownHost.h"

#include "app/torrent/Down.h"

DownHost::DownHost(QWidget* owner, const Endpoints& endpoints, const QString& saveFolder,
                   Desktop& desktop)
    : owner_(owner), endpoints_(endpoints), saveFolder_(saveFolder), desktop_(desktop)
{
}

DownHost::~DownHost()
{
    delete down_;
}

Down& DownHost::get()
{
    if (!down_) {
        down_ = new Down(endpoints_, saveFolder_, desktop_);
        down_->setAttribute(Qt::WA_DeleteOnClose, false);
        if (owner_) down_->CentreOver(owner_->frameGeometry());
        connect(down_, &Down::Unload, this, &DownHost::Unload);
    }
    return *down_;
}

void DownHost::Show()
{
    Down& down = get();
    down.show();
    down.raise();
    down.activateWindow();
}

void DownHost::Unload()
{
    if (!down_) return;
    Down* down = down_;
    down_ = nullptr; // the next use makes a new window at once
    down->AbandonTransfer();
    down->hide();
    // Deferred: the close zone that asked for this is still handling its click.
    down->deleteLater();
}
