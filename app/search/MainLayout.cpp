#include "app/search/MainLayout.h"

FormSpec MainLayout()
{
    using K = ControlSpec::Kind;
    const qint32 listBack = Rgb(50, 58, 69);
    const qint32 listText = Rgb(119, 124, 130);
    FormSpec form;
    form.title = QStringLiteral("Reelmate");
    form.clientPixels = QSize(5235 / 15, 7410 / 15);
    form.picture = QStringLiteral(":/reelmate/search.jpg");
    form.controlFont = QStringLiteral("宋体");
    form.controlFontPoints = 12;
    // Back to front: a later control lies in front of an earlier one.
    form.controls = {
        {QStringLiteral("FindText"),
         K::TextBox,
         QRect(1120, 1280, 3615, 375),
         Rgb(34, 41, 49),
         Rgb(78, 84, 91),
         QString(),
         true,
         1,
         {}},
        {QStringLiteral("BTDown"), K::PButton, QRect(360, 6480, 4575, 735), -1, -1, QString(), true,
         0, DownloadButtonEntries()},
        {QStringLiteral("UrlList"),
         K::ListBox,
         QRect(5520, 960, 4575, 3630),
         listBack,
         listText,
         QString(),
         false,
         4,
         {}},
        {QStringLiteral("DownList"),
         K::ListBox,
         QRect(360, 2280, 4575, 4110),
         listBack,
         listText,
         QString(),
         true,
         2,
         {}},
        {QStringLiteral("FormMove"),
         K::ImageZone,
         QRect(0, 0, 3735, 855),
         -1,
         -1,
         QString(),
         true,
         -1,
         {}},
        {QStringLiteral("resultstr"),
         K::Label,
         QRect(360, 1920, 3840, 240),
         -1,
         listText,
         QStringLiteral("输入电影名称后回车即可搜索电影！"),
         true,
         3,
         {}},
        {QStringLiteral("ExitForm"),
         K::ImageZone,
         QRect(3720, 0, 1575, 855),
         -1,
         -1,
         QString(),
         true,
         -1,
         {}},
    };
    return form;
}
