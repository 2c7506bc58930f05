#include "app/search/Main.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "platform/ui/Accessibility.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/FontWarmUp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    FontWarmUp fonts;
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    InstallAccessibility();
    fonts.wait();

    Endpoints endpoints;
    endpoints.relay = QStringLiteral(REELMATE_RELAY_URL);
    endpoints.site = QStringLiteral(REELMATE_SITE_URL);

    Desktop& desktop = Desktop::System();
    Main main(endpoints, desktop);
    DownHost down(&main, endpoints, QCoreApplication::applicationDirPath(), desktop);
    ConnectTorrentListing(main, down, endpoints);
    main.show();
    return QApplication::exec();
}
