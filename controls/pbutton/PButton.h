#pragma once

#include "controls/pbutton/PropertyBag.h"
#include "platform/ui/DesktopCodes.h"

#include <QFont>
#include <QImage>
#include <QWidget>

class Desktop;
class Ticker;

/** What a new button starts with; a stored layout leaves these values out. */
namespace PButtonDefault {
inline constexpr bool Enabled = true;
inline const QString Font_Name = QStringLiteral("微软雅黑");
inline constexpr short Font_Size = 11;
inline const QString Text = QStringLiteral("PButton");
inline constexpr qint32 Color_Back = Rgb(0, 175, 242);
inline constexpr qint32 Color_End = Rgb(2, 116, 255);
inline constexpr qint32 Color_Text = 0;
} // namespace PButtonDefault

/** A push button whose flat face fades from Color_Back to Color_End while the pointer is over it.
 */
class PButton : public QWidget {
    Q_OBJECT
    Q_CLASSINFO("Accessible", "button")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(QString Font_Name READ Font_Name WRITE SetFont_Name)
    Q_PROPERTY(short Font_Size READ Font_Size WRITE SetFont_Size)
    Q_PROPERTY(bool Font_Bold READ Font_Bold WRITE SetFont_Bold)
    Q_PROPERTY(bool Font_Italic READ Font_Italic WRITE SetFont_Italic)
    Q_PROPERTY(bool Font_Underline READ Font_Underline WRITE SetFont_Underline)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(qint32 Color_Back READ Color_Back WRITE SetColor_Back)
    Q_PROPERTY(qint32 Color_Begin READ Color_Begin WRITE SetColor_Begin)
    Q_PROPERTY(qint32 Color_End READ Color_End WRITE SetColor_End)
    Q_PROPERTY(qint32 Color_Text READ Color_Text WRITE SetColor_Text)

public:
    explicit PButton(QWidget* parent, Desktop& desktop);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    QString Font_Name() const { return fontName_; }
    void SetFont_Name(const QString& value);
    short Font_Size() const { return fontSize_; }
    void SetFont_Size(short value);
    bool Font_Bold() const { return fontBold_; }
    void SetFont_Bold(bool value);
    bool Font_Italic() const { return fontItalic_; }
    void SetFont_Italic(bool value);
    bool Font_Underline() const { return fontUnderline_; }
    void SetFont_Underline(bool value);
    QString Text() const { return text_; }
    void SetText(const QString& value);
    qint32 Color_Back() const { return colorBack_; }
    void SetColor_Back(qint32 value);
    qint32 Color_Begin() const { return colorBegin_; }
    void SetColor_Begin(qint32 value);
    qint32 Color_End() const { return colorEnd_; }
    void SetColor_End(qint32 value);
    qint32 Color_Text() const { return colorText_; }
    void SetColor_Text(qint32 value);

    void WriteProperties(PropertyBag& bag) const;
    void ReadProperties(const PropertyBag& bag);

    /** Draws the whole face into the retained image that painting shows. */
    void RedrawFace();

    bool Hovering() const { return hovering_; }
    bool Pressed() const { return pressed_; }
    /** The colour the face is filled with right now (the fade's running state). */
    qint32 FillColor() const { return fillColor_; }
    Ticker* Timer1() const { return timer1_; }
    Ticker* Timer2() const { return timer2_; }
    const QImage& Face() const { return face_; }

Q_SIGNALS:
    void Click();
    void DblClick();
    void MouseDown(short Button, short Shift, float X, float Y);
    void MouseMove(short Button, short Shift, float X, float Y);
    void MouseUp(short Button, short Shift, float X, float Y);
    /** A stored property changed: the window should store the control's values again. */
    void PropertyChanged(const QString& name);
    /** RedrawFace has drawn a new face. */
    void FaceRedrawn();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    /** The extent of the hidden self-sizing caption label: it centres the caption on the face. */
    QSizeF Label1ExtentTwips() const;
    /** Stores one of the five font properties and rebuilds the one font the face is drawn with. */
    template <typename T> void SetFontProperty(T& field, T value, const char* name);
    void PropertyChangedReport(const char* name);
    void RebuildFont();
    bool& Armed(short keyCode) { return keyCode == kKeySpace ? spaceArmed_ : enterArmed_; }
    void Timer1_Timer();
    void Timer2_Timer();

    Desktop& desktop_;
    bool enabled_ = PButtonDefault::Enabled;
    QString fontName_ = PButtonDefault::Font_Name;
    short fontSize_ = PButtonDefault::Font_Size;
    bool fontBold_ = false;
    bool fontItalic_ = false;
    bool fontUnderline_ = false;
    QString text_ = PButtonDefault::Text;
    qint32 colorBack_ = PButtonDefault::Color_Back;
    qint32 colorBegin_ = PButtonDefault::Color_Back;
    qint32 colorEnd_ = PButtonDefault::Color_End;
    qint32 colorText_ = PButtonDefault::Color_Text;

    bool hovering_ = false;
    bool pressed_ = false;
    bool clickArmed_ = false;
    // Enter and Space each went down on this control and are not up yet: one flag per key, so
    // that overlapping presses of the two each click once.
    bool enterArmed_ = false;
    bool spaceArmed_ = false;
    qint32 fillColor_ = PButtonDefault::Color_Back;
    QFont font_; // made from the five font properties, by RebuildFont only
    Ticker* timer1_ = nullptr;
    Ticker* timer2_ = nullptr;
    QImage face_;
};
