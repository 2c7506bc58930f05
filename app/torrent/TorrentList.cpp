#include "app/torrent/TorrentList.h"

#include "app/common/ParallelFill.h"
#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/ListBox.h"
#include "web/Functions.h"
#include "web/Functions1.h"

#include <QCoreApplication>

void ListTorrents(Main& main, DownHost& host, const Endpoints& endpoints)
{
    host.get().BTList->Clear();
    host.get().BTList1->Clear();
    const int n = main.DownList->ListCount();
    for (int i = 0; i < n; ++i) {
        // Handlers run while the lists fill may have shortened the hit lists.
        if (i >= main.DownList->ListCount()) break;
        if (!main.DownList->Selected(i) || i >= main.UrlList->ListCount()) continue;
        const QString url = endpoints.relay + QStringLiteral("/moviejk/Down.php?url=") +
                            endpoints.site + main.UrlList->List(i);
        Fetch(url, endpoints.fetch);
        if (ReplyText.isEmpty()) continue;
        // Looked up per item: the window may have been closed meanwhile.
        FillParallelLists([&host] {
            Down& down = host.get();
            return ListPair{down.BTList, down.BTList1};
        });
        host.Show();
    }
}

void ConnectTorrentListing(Main& main, DownHost& host, const Endpoints& endpoints)
{
    QObject::connect(main.BTDown, &PButton::Click, &host,
                     [&main, &host, endpoints] { ListTorrents(main, host, endpoints); });
}
