#include "app/search/Main.h"
#include "app/common/ProgramPlace.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "platform/ui/Accessibility.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/FontWarmUp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> status = AnswerCommandLine(arguments)) return *status;
    FontWarmUp fonts;
    QApplication app(argc, argv);
    // Wayland shells find the window's icon and name through its desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Reelmate"));
    InstallFontSubstitutes();
    InstallAccessibility();
    fonts.wait();

    Endpoints endpoints;
    endpoints.relay = QStringLiteral(REELMATE_RELAY_URL);
    endpoints.site = QStringLiteral(REELMATE_SITE_URL);

    Desktop& desktop = Desktop::System();
    Main main(endpoints, desktop);
    const QString folder = TorrentFolder(QCoreApplication::applicationDirPath(),
                                         QStringLiteral(REELMATE_BUILD_BIN_DIR));
    DownHost down(&main, endpoints, folder, desktop);
    ConnectTorrentListing(main, down, endpoints);
    main.show();
    return QApplication::exec();
}
