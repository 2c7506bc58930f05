#include "controls/pbutton/PButton.h"

#include "platform/ui/Announce.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/DesktopCodes.h"
#include "platform/ui/Ticker.h"
#include "web/Functions.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>

#include <utility>

namespace {

constexpr float kPressShiftTwips = 30.0f;

short MouseButtons(Qt::MouseButtons buttons)
{
    short code = 0;
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
        if (buttons & b) code |= DesktopButton(b);
    return code;
}

/** One fade step of a channel: at most 5 towards the target. */
qint16 Approach(qint16 c, qint16 t)
{
    if (c < t) c = c + 5 < t ? qint16(c + 5) : t;
    if (c > t) c = c - 5 > t ? qint16(c - 5) : t;
    return c;
}

struct Channels {
    qint16 red, green, blue;
};

// Signed 32-bit arithmetic with truncating division, as the fade has always computed it.
Channels Split(qint32 value)
{
    return {qint16(value % 256), qint16((value % 65536) / 256), qint16(value / 65536)};
}

} // namespace

QSizeF PButton::Label1ExtentTwips() const
{
    const QFontMetrics fm(font_);
    return QSizeF(fm.horizontalAdvance(text_) * kTwipsPerPixel, fm.height() * kTwipsPerPixel);
}

void PButton::RebuildFont()
{
    font_ = QFont(fontName_);
    if (fontSize_ > 0) font_.setPointSizeF(double(fontSize_));
    font_.setBold(fontBold_);
    font_.setItalic(fontItalic_);
    font_.setUnderline(fontUnderline_);
}

template <typename T> void PButton::SetFontProperty(T& field, T value, const char* name)
{
    field = value;
    RebuildFont();
    RedrawFace();
    PropertyChangedReport(name);
}

PButton::PButton(QWidget* parent, Desktop& desktop) : QWidget(parent), desktop_(desktop)
{
    setObjectName(QStringLiteral("PButton"));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(1005 / kTwipsPerPixel, 615 / kTwipsPerPixel);
    timer1_ = desktop_.NewTimer(this);
    timer2_ = desktop_.NewTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer2_->setObjectName(QStringLiteral("Timer2"));
    connect(timer1_, &Ticker::Timer, this, &PButton::Timer1_Timer);
    connect(timer2_, &Ticker::Timer, this, &PButton::Timer2_Timer);

    RebuildFont();
    RedrawFace();
}

void PButton::PropertyChangedReport(const char* name)
{
    Q_EMIT PropertyChanged(QString::fromLatin1(name));
}

void PButton::SetEnabled(bool value)
{
    enabled_ = value;
    PropertyChangedReport("Enabled");
}

void PButton::SetFont_Name(const QString& value)
{
    SetFontProperty(fontName_, value, "Font_Name");
}

void PButton::SetFont_Size(short value)
{
    SetFontProperty(fontSize_, value, "Font_Size");
}

void PButton::SetFont_Bold(bool value)
{
    SetFontProperty(fontBold_, value, "Font_Bold");
}

void PButton::SetFont_Italic(bool value)
{
    SetFontProperty(fontItalic_, value, "Font_Italic");
}

void PButton::SetFont_Underline(bool value)
{
    SetFontProperty(fontUnderline_, value, "Font_Underline");
}

void PButton::SetText(const QString& value)
{
    text_ = value;
    RedrawFace();
    PropertyChangedReport("Text");
    AnnounceNameChange(this); // the outcome of a download is said, not only shown
}

void PButton::SetColor_Back(qint32 value)
{
    colorBack_ = value;
    fillColor_ = value;
    colorBegin_ = colorBack_;
    PropertyChangedReport("Color_Begin");
    RedrawFace();
    PropertyChangedReport("Color_Back");
}

void PButton::SetColor_Begin(qint32 value)
{
    Q_UNUSED(value); // a mirror of Color_Back: the assigned value is discarded
    colorBegin_ = colorBack_;
    PropertyChangedReport("Color_Begin");
}

void PButton::SetColor_End(qint32 value)
{
    colorEnd_ = value; // used from the next fade step on
    PropertyChangedReport("Color_End");
}

void PButton::SetColor_Text(qint32 value)
{
    colorText_ = value;
    RedrawFace();
    PropertyChangedReport("Color_Text");
}

void PButton::WriteProperties(PropertyBag& bag) const
{
    bag.WriteProperty(QStringLiteral("Color_Back"), colorBack_, PButtonDefault::Color_Back);
    bag.WriteProperty(QStringLiteral("Color_Begin"), colorBegin_, PButtonDefault::Color_Back);
    bag.WriteProperty(QStringLiteral("Color_End"), colorEnd_, PButtonDefault::Color_End);
    bag.WriteProperty(QStringLiteral("Color_Text"), colorText_, PButtonDefault::Color_Text);
    bag.WriteProperty(QStringLiteral("Text"), text_, PButtonDefault::Text);
    bag.WriteProperty(QStringLiteral("Font_Name"), fontName_, PButtonDefault::Font_Name);
    bag.WriteProperty(QStringLiteral("Font_Size"), fontSize_, PButtonDefault::Font_Size);
    bag.WriteProperty(QStringLiteral("Font_Bold"), fontBold_, false);
    bag.WriteProperty(QStringLiteral("Font_Italic"), fontItalic_, false);
    bag.WriteProperty(QStringLiteral("Font_Underline"), fontUnderline_, false);
    bag.WriteProperty(QStringLiteral("Enabled"), enabled_, PButtonDefault::Enabled);
}

void PButton::ReadProperties(const PropertyBag& bag)
{
    colorBack_ = bag.ReadInt32(QStringLiteral("Color_Back"), PButtonDefault::Color_Back);
    colorBegin_ = bag.ReadInt32(QStringLiteral("Color_Begin"), PButtonDefault::Color_Back);
    colorEnd_ = bag.ReadInt32(QStringLiteral("Color_End"), PButtonDefault::Color_End);
    colorText_ = bag.ReadInt32(QStringLiteral("Color_Text"), PButtonDefault::Color_Text);
    text_ = bag.ReadText(QStringLiteral("Text"), PButtonDefault::Text);
    fontName_ = bag.ReadText(QStringLiteral("Font_Name"), PButtonDefault::Font_Name);
    fontSize_ = bag.ReadInt16(QStringLiteral("Font_Size"), PButtonDefault::Font_Size);
    fontBold_ = bag.ReadBool(QStringLiteral("Font_Bold"), false);
    fontItalic_ = bag.ReadBool(QStringLiteral("Font_Italic"), false);
    fontUnderline_ = bag.ReadBool(QStringLiteral("Font_Underline"), false);
    enabled_ = bag.ReadBool(QStringLiteral("Enabled"), PButtonDefault::Enabled);

    fillColor_ = colorBack_;
    RebuildFont();
    RedrawFace();
}

void PButton::RedrawFace()
{
    const qreal dpr = devicePixelRatioF();
    face_ = QImage(size() * dpr, QImage::Format_RGB32);
    face_.setDevicePixelRatio(dpr);
    face_.fill(ColorFromRgbValue(fillColor_));

    const QSizeF extent = Label1ExtentTwips();
    float x = (float(width()) * kTwipsPerPixel - float(extent.width())) / 2.0f;
    float y = (float(height()) * kTwipsPerPixel - float(extent.height())) / 2.0f;
    if (pressed_) {
        x += kPressShiftTwips;
        y += kPressShiftTwips;
    }
    if (!face_.isNull() && !text_.isEmpty()) {
        QPainter p(&face_);
        p.setFont(font_);
        p.setPen(ColorFromRgbValue(colorText_));
        const QFontMetricsF fm(font_);
        p.drawText(QPointF(x / kTwipsPerPixel, y / kTwipsPerPixel + fm.ascent()), text_);
    }
    update();
    Q_EMIT FaceRedrawn();
}

void PButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.drawImage(QPoint(0, 0), face_);
}

void PButton::resizeEvent(QResizeEvent*)
{
    RedrawFace();
}

void PButton::mouseMoveEvent(QMouseEvent* event)
{
    if (!enabled_) return;
    hovering_ = true;
    timer1_->SetEnabled(true);
    timer2_->SetEnabled(true);
    const QPointF at = event->position() * kTwipsPerPixel;
    Q_EMIT MouseMove(MouseButtons(event->buttons()), DesktopShift(event->modifiers()),
                     float(at.x()), float(at.y()));
}

void PButton::mousePressEvent(QMouseEvent* event)
{
    clickArmed_ = event->button() == Qt::LeftButton;
    if (!enabled_) return;
    pressed_ = true;
    RedrawFace();
    const QPointF at = event->position() * kTwipsPerPixel;
    Q_EMIT MouseDown(DesktopButton(event->button()), DesktopShift(event->modifiers()),
                     float(at.x()), float(at.y()));
}

void PButton::mouseReleaseEvent(QMouseEvent* event)
{
    pressed_ = false;
    RedrawFace();
    const bool click = clickArmed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    clickArmed_ = false;
    if (!enabled_) return;
    const QPointF at = event->position() * kTwipsPerPixel;
    Q_EMIT MouseUp(DesktopButton(event->button()), DesktopShift(event->modifiers()), float(at.x()),
                   float(at.y()));
    if (click) Q_EMIT Click();
}

void PButton::mouseDoubleClickEvent(QMouseEvent*)
{
    // The second press of a double click is reported as DblClick alone.
    if (enabled_) Q_EMIT DblClick();
}

void PButton::keyPressEvent(QKeyEvent* event)
{
    const short code = DesktopKeyCode(event->key());
    if (code != kKeyReturn && code != kKeySpace) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (!enabled_) return;
    pressed_ = true;
    Armed(code) = true;
    RedrawFace();
}

void PButton::keyReleaseEvent(QKeyEvent* event)
{
    const short code = DesktopKeyCode(event->key());
    if ((code != kKeyReturn && code != kKeySpace) || event->isAutoRepeat()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    pressed_ = false;
    RedrawFace();
    // Only the release of a key that went down here clicks: the Enter that closed a message box
    // comes back up on whatever had the focus before, and must not ask again.
    const bool armed = std::exchange(Armed(code), false);
    if (enabled_ && armed) Q_EMIT Click();
}

void PButton::focusOutEvent(QFocusEvent* event)
{
    enterArmed_ = spaceArmed_ = false;
    QWidget::focusOutEvent(event);
}

void PButton::Timer1_Timer()
{
    if (IsCursorOverWindow(this, desktop_)) return;
    hovering_ = false;
    timer1_->SetEnabled(false);
    timer2_->SetEnabled(true);
}

void PButton::Timer2_Timer()
{
    const qint32 target = hovering_ ? colorEnd_ : colorBack_;
    const Channels t = Split(target);
    Channels c = Split(fillColor_);
    c.red = Approach(c.red, t.red);
    c.green = Approach(c.green, t.green);
    c.blue = Approach(c.blue, t.blue);
    fillColor_ = qint32(c.red) + 256 * qint32(c.green) + 65536 * qint32(c.blue);
    RedrawFace();
    if (c.red == t.red && c.green == t.green && c.blue == t.blue) {
        timer2_->SetEnabled(false);
        fillColor_ = hovering_ ? colorEnd_ : colorBack_;
        RedrawFace();
    }
}
