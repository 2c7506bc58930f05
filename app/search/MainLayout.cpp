#include "app/search/MainLayout.h"

FormSpec MainLayout()
{
    using K = ControlSpec::Kind;
    FormSpec form;
    form.title = QStringLiteral("Reelmate");
    form.clientPixels = QSize(5235 / kTwipsPerPixel, 7410 / kTwipsPerPixel);
    form.picture = QStringLiteral(":/reelmate/search.jpg");
    // Back to front: a later control lies in front of an earlier one.
    form.controls = {
        {.name = QStringLiteral("FindText"),
         .kind = K::TextBox,
         .twips = QRect(1120, 1280, 3615, 375),
         .backColor = Rgb(34, 41, 49),
         .foreColor = Rgb(78, 84, 91),
         .speech = QStringLiteral("电影名称"),
         .tabIndex = 1},
        {.name = QStringLiteral("BTDown"),
         .kind = K::PButton,
         .twips = QRect(360, 6480, 4575, 735),
         .tabIndex = 0,
         .stored = DownloadButtonEntries()},
        {.name = QStringLiteral("UrlList"),
         .kind = K::ListBox,
         .twips = QRect(5520, 960, 4575, 3630),
         .backColor = kListBack,
         .foreColor = kListText,
         .visible = false,
         .tabIndex = 4},
        {.name = QStringLiteral("DownList"),
         .kind = K::ListBox,
         .twips = QRect(360, 2280, 4575, 4110),
         .backColor = kListBack,
         .foreColor = kListText,
         .speech = QStringLiteral("搜索结果"),
         .tabIndex = 2},
        {.name = QStringLiteral("FormMove"), .kind = K::ImageZone, .twips = QRect(0, 0, 3735, 855)},
        {.name = QStringLiteral("resultstr"),
         .kind = K::Label,
         .twips = QRect(360, 1920, 3840, 240),
         .foreColor = kListText,
         .text = QStringLiteral("输入电影名称后回车即可搜索电影！"),
         .tabIndex = 3},
        {.name = QStringLiteral("ExitForm"),
         .kind = K::ImageZone,
         .twips = QRect(3720, 0, 1575, 855),
         .speech = QStringLiteral("关闭")},
    };
    return form;
}
