#pragma once

#include "serve/HttpService.h"

#include <QByteArray>
#include <QList>
#include <QString>

/** One film of the catalogue. */
struct Film {
    int id = 0;
    QString title;
    int year = 0;
    int torrents = 0;
};

/** One torrent offered on a film's page. */
struct TorrentOffer {
    QString name;
    QString id;
    QString hash;
};

/** A movie site like the real ones: GBK pages of search results and films, and a download page
 *  that hands out a real .torrent for a matching id and hash. Everything is deterministic. */
class DemoSite {
public:
    explicit DemoSite(QList<Film> films);
    /** The catalogue shipped with the site (id, title, year, torrent count per line). */
    static QList<Film> BuiltInCatalogue();
    static QList<Film> ParseCatalogue(const QString& text);

    void Handle(const ServiceRequest& request, ServiceResponse& response) const;

    QByteArray SearchPage(const QString& query) const;
    QByteArray FilmPage(int id) const;
    /** The .torrent for an offer's id, or empty when there is no such torrent. */
    QByteArray TorrentFile(const QString& id) const;
    QList<TorrentOffer> Offers(const Film& film) const;
    const QList<Film>& films() const { return films_; }
    static QString HashFor(const QString& torrentId);

private:
    const Film* find(int id) const;
    QList<Film> films_;
};
