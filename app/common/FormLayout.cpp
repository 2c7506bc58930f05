#include "app/common/FormLayout.h"

#include "controls/pbutton/PButton.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QCursor>
#include <QFontInfo>
#include <QPixmap>

#include <cmath>
#include <limits>
#include <map>

namespace {

int Round(int twips)
{
    return int(std::lround(double(twips) / kTwipsPerPixel));
}

QWidget* Create(QWidget* form, const FormSpec& spec, const ControlSpec& c, Desktop& desktop)
{
    QFont font(spec.controlFont);
    font.setPointSize(spec.controlFontPoints);
    font.setWeight(QFont::Normal);
    QWidget* w = nullptr;
    switch (c.kind) {
    case ControlSpec::Kind::TextBox: {
        auto* box = new TextBox(form);
        box->setFrame(false);
        box->setMaxLength(std::numeric_limits<int>::max()); // no length limit
        box->setText(c.text);
        w = box;
        break;
    }
    case ControlSpec::Kind::ListBox: {
        auto* list = new ListBox(form);
        list->setFont(font);
        list->SetRowHeight(QFontInfo(font).pixelSize()); // one em: 16 pixels for 12 points
        w = list;
        break;
    }
    case ControlSpec::Kind::Label: {
        auto* label = new AutoLabel(form);
        label->setFont(font);
        label->SetCaption(c.text);
        w = label;
        break;
    }
    case ControlSpec::Kind::ImageZone:
        w = new ImageZone(form);
        break;
    case ControlSpec::Kind::PButton: {
        auto* button = new PButton(form, desktop);
        button->ReadProperties(c.stored);
        w = button;
        break;
    }
    }
    w->setObjectName(c.name);
    if (c.kind != ControlSpec::Kind::PButton) w->setFont(font);
    QPalette pal = w->palette();
    if (c.backColor >= 0) {
        const QColor back = ColorFromRgbValue(c.backColor);
        pal.setColor(QPalette::Base, back);
        pal.setColor(QPalette::Window, back);
    }
    if (c.foreColor >= 0) {
        const QColor fore = ColorFromRgbValue(c.foreColor);
        pal.setColor(QPalette::Text, fore);
        pal.setColor(QPalette::WindowText, fore);
    }
    w->setPalette(pal);
    const QRect px = PixelsFromTwips(c.twips);
    if (c.kind == ControlSpec::Kind::Label)
        w->move(px.topLeft()); // sizes itself to its text
    else
        w->setGeometry(px);
    w->setVisible(c.visible);
    w->setAccessibleName(c.speech);
    return w;
}

} // namespace

PropertyBag DownloadButtonEntries()
{
    return PropertyBag{{QStringLiteral("color_back"), Rgb(67, 75, 85)},
                       {QStringLiteral("color_begin"), Rgb(67, 75, 85)},
                       {QStringLiteral("color_end"), Rgb(88, 91, 95)},
                       {QStringLiteral("color_text"), Rgb(142, 144, 146)},
                       {QStringLiteral("text"), QStringLiteral("下载")},
                       {QStringLiteral("font_size"), 13}};
}

QRect PixelsFromTwips(const QRect& twips)
{
    return QRect(Round(twips.x()), Round(twips.y()), Round(twips.width()), Round(twips.height()));
}

QHash<QString, QWidget*> BuildControls(QWidget* form, const FormSpec& spec, Desktop& desktop)
{
    QHash<QString, QWidget*> controls;
    std::map<int, QWidget*> tabOrder;
    for (const ControlSpec& c : spec.controls) {
        QWidget* w = Create(form, spec, c, desktop);
        controls.insert(c.name, w);
        // Labels, image zones and hidden controls take no focus, whatever their tab index.
        const bool focusable = c.kind == ControlSpec::Kind::TextBox ||
                               c.kind == ControlSpec::Kind::ListBox ||
                               c.kind == ControlSpec::Kind::PButton;
        if (focusable && c.visible && c.tabIndex >= 0)
            tabOrder[c.tabIndex] = w;
        else
            w->setFocusPolicy(Qt::NoFocus);
    }
    QWidget* previous = nullptr;
    for (const auto& [index, w] : tabOrder) {
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
    return controls;
}
