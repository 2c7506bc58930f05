#pragma once

#include "app/common/Endpoints.h"
#include "app/common/FormWindow.h"

class AutoLabel;
class ImageZone;
class ListBox;
class PButton;
class TextBox;

/** The search window: type a film name and press Enter to list the site's hits. */
class Main : public FormWindow {
    Q_OBJECT
public:
    Main(const Endpoints& endpoints, Desktop& desktop);

    TextBox* const FindText;
    ListBox* const DownList;
    ListBox* const UrlList;
    AutoLabel* const resultstr;
    PButton* const BTDown;
    ImageZone* const FormMove;
    ImageZone* const ExitForm;

private:
    void FindText_KeyDown(short KeyCode, short Shift);
    void SetDownListExtent();
    void FormMove_MouseDown(short Button, short Shift, float X, float Y);
    void ExitForm_Click();

    Endpoints endpoints_;
    QFont windowFont_;
    quint64 searches_ = 0;
    /** The width count so far: entries of DownList already looked at, and the count they gave.
     *  The list only grows between searches, so each key press looks at new entries only. */
    int extentCounted_ = 0;
    qint16 extentChars_ = 0;
};

/** "共搜到相关结果N个。" */
QString ResultText(qsizetype hits);
