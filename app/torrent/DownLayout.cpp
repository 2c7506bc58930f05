#include "app/torrent/DownLayout.h"

FormSpec DownLayout()
{
    using K = ControlSpec::Kind;
    const qint32 listBack = Rgb(50, 58, 69);
    const qint32 listText = Rgb(119, 124, 130);
    FormSpec form;
    form.title = QStringLiteral("BT下载 - Reelmate");
    form.clientPixels = QSize(7485 / 15, 4530 / 15);
    form.picture = QStringLiteral(":/reelmate/torrent.jpg");
    form.controlFont = QStringLiteral("宋体");
    form.controlFontPoints = 12;
    // Back to front. The transfer control has no visible part and is made by the window.
    form.controls = {
        {QStringLiteral("BTList1"),
         K::ListBox,
         QRect(8160, 2280, 4575, 1470),
         listBack,
         listText,
         QString(),
         false,
         1,
         {}},
        {QStringLiteral("BTList"),
         K::ListBox,
         QRect(240, 1080, 6975, 2190),
         listBack,
         listText,
         QString(),
         true,
         0,
         {}},
        {QStringLiteral("BTDown"), K::PButton, QRect(240, 3480, 6975, 735), -1, -1, QString(), true,
         2, DownloadButtonEntries()},
        {QStringLiteral("ExitForm"),
         K::ImageZone,
         QRect(5960, 0, 1575, 855),
         -1,
         -1,
         QString(),
         true,
         -1,
         {}},
        {QStringLiteral("FormMove"),
         K::ImageZone,
         QRect(0, 0, 5895, 855),
         -1,
         -1,
         QString(),
         true,
         -1,
         {}},
    };
    return form;
}
