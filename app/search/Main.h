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
};

/** "共搜到相关结果N个。" */
QString ResultText(qsizetype hits);
