#pragma once

#include <QWidget>

/** An invisible image zone: it draws nothing, reports presses and clicks, and can carry the
 *  window along with the pointer where the window system offers no move loop of its own. */
class ImageZone : public QWidget {
    Q_OBJECT
public:
    explicit ImageZone(QWidget* parent = nullptr);
    /** Moves the window with the pointer until the button is released. */
    void FollowPointer();

Q_SIGNALS:
    void MouseDown(short Button, short Shift, float X, float Y);
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool pressed_ = false;
    bool following_ = false;
    QPoint grabOffset_;
};
