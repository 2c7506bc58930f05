#include "app/torrent/DownLayout.h"

FormSpec DownLayout()
{
    using K = ControlSpec::Kind;
    FormSpec form;
    form.title = QStringLiteral("BT下载 - Reelmate");
    form.clientPixels = QSize(7485 / kTwipsPerPixel, 4530 / kTwipsPerPixel);
    form.picture = QStringLiteral(":/reelmate/torrent.jpg");
    // Back to front. The transfer control has no visible part and is made by the window.
    form.controls = {
        {.name = QStringLiteral("BTList1"),
         .kind = K::ListBox,
         .twips = QRect(8160, 2280, 4575, 1470),
         .backColor = kListBack,
         .foreColor = kListText,
         .visible = false,
         .tabIndex = 1},
        {.name = QStringLiteral("BTList"),
         .kind = K::ListBox,
         .twips = QRect(240, 1080, 6975, 2190),
         .backColor = kListBack,
         .foreColor = kListText,
         .speech = QStringLiteral("种子列表"),
         .tabIndex = 0},
        {.name = QStringLiteral("BTDown"),
         .kind = K::PButton,
         .twips = QRect(240, 3480, 6975, 735),
         .tabIndex = 2,
         .stored = DownloadButtonEntries()},
        {.name = QStringLiteral("ExitForm"),
         .kind = K::ImageZone,
         .twips = QRect(5960, 0, 1575, 855),
         .speech = QStringLiteral("关闭")},
        {.name = QStringLiteral("FormMove"), .kind = K::ImageZone, .twips = QRect(0, 0, 5895, 855)},
    };
    return form;
}
