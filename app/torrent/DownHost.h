#pragma once

#include "app/common/Endpoints.h"
#include "app/torrent/Down.h"

#include <QObject>
#include <QPointer>

class Desktop;
class QWidget;

/** Keeps the torrent window at most once: made hidden on first use, unloaded by its close zone,
 *  made afresh on the next use, each time centred over its owner. */
class DownHost : public QObject {
    Q_OBJECT
public:
    DownHost(QWidget* owner, const Endpoints& endpoints, const QString& saveFolder,
             Desktop& desktop);
    ~DownHost() override;

    /** The window, created hidden if it does not exist. */
    Down& get();
    /** The window if it exists, else null. */
    Down* existing() const { return down_.data(); }
    /** Shows the window modeless. */
    void Show();
    /** Destroys the window with its lists and any transfer. */
    void Unload();

private:
    QWidget* owner_;
    Endpoints endpoints_;
    QString saveFolder_;
    Desktop& desktop_;
    QPointer<Down> down_;
};
