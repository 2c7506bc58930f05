#include "demo-site/DemoSite.h"

#include "serve/TextHelpers.h"

#include "demo-site/Bencode.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {

constexpr int kPieceLength = 16384;
const char* const kVariants[] = {"1080p.BluRay.x264", "720p.WEB-DL",   "2160p.HDR.HEVC",
                                 "DVDRip.XviD",       "国语中字.HDTV", "粤语.1080p.WEB"};

/** A query as browsers send it: UTF-8, or in the page's own GBK from a form on the site. */
QString QueryText(const std::string& bytes)
{
    const QByteArray raw = QByteArray::fromStdString(bytes);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(raw);
    if (!utf8.hasError()) return text;
    QStringDecoder gbk("GBK");
    return gbk.decode(raw);
}

QByteArray Gbk(const QString& html)
{
    QStringEncoder encoder("GBK");
    return encoder.encode(html);
}

QString Page(const QString& title, const QString& body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta http-equiv=\"Content-Type\" "
                          "content=\"text/html; charset=gbk\"><title>") +
           title.toHtmlEscaped() + QStringLiteral(" - 演示电影站</title></head>\n<body>\n") + body +
           QStringLiteral("</body></html>\n");
}

void Html(ServiceResponse& response, int status, const QByteArray& gbkHtml)
{
    response.status = status;
    response.body = gbkHtml.toStdString();
    response.contentType = "text/html; charset=gbk";
}

/** The bytes a torrent describes: a simple generator seeded by its id. */
QByteArray Content(const QString& id, qint64 length)
{
    quint64 state = qHash(id, 0x5eed) | 1;
    QByteArray data(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        data[i] = char(state & 0xFF);
    }
    return data;
}

QMap<QString, QString> FormFields(const std::string& body)
{
    QMap<QString, QString> fields;
    for (const QString& pair : QString::fromStdString(body).split(u'&')) {
        const qsizetype eq = pair.indexOf(u'=');
        if (eq > 0)
            fields.insert(pair.left(eq), QString::fromStdString(
                                             PercentDecode(pair.mid(eq + 1).toStdString(), true)));
    }
    return fields;
}

} // namespace

DemoSite::DemoSite(QList<Film> films) : films_(std::move(films)) {}

QList<Film> DemoSite::BuiltInCatalogue()
{
    QFile file(QStringLiteral(":/demo-site/catalogue.tsv"));
    file.open(QIODevice::ReadOnly);
    return ParseCatalogue(QString::fromUtf8(file.readAll()));
}

QList<Film> DemoSite::ParseCatalogue(const QString& text)
{
    QList<Film> films;
    for (const QString& line : text.split(u'\n')) {
        if (line.startsWith(u'#') || line.trimmed().isEmpty()) continue;
        const QStringList f = line.split(u'\t');
        if (f.size() < 4) continue;
        films.append({f[0].toInt(), f[1], f[2].toInt(), f[3].trimmed().toInt()});
    }
    return films;
}

QString DemoSite::HashFor(const QString& torrentId)
{
    const QByteArray digest =
        QCryptographicHash::hash("reelmate-demo:" + torrentId.toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex().left(16));
}

const Film* DemoSite::find(int id) const
{
    for (const Film& film : films_)
        if (film.id == id) return &film;
    return nullptr;
}

QList<TorrentOffer> DemoSite::Offers(const Film& film) const
{
    QList<TorrentOffer> offers;
    for (int k = 1; k <= film.torrents; ++k) {
        const QString variant = k <= 6
                                    ? QString::fromUtf8(kVariants[k - 1])
                                    : QStringLiteral("Part%1.720p").arg(k, 2, 10, QLatin1Char('0'));
        const QString id = QStringLiteral("%1-%2").arg(film.id).arg(k);
        offers.append(
            {QStringLiteral("%1.%2.%3.torrent").arg(film.title).arg(film.year).arg(variant), id,
             HashFor(id)});
    }
    return offers;
}

QByteArray DemoSite::SearchPage(const QString& query) const
{
    QString rows;
    for (const Film& film : films_) {
        if (!film.title.contains(query, Qt::CaseInsensitive)) continue;
        rows += QStringLiteral("<li><a class=\"title\" href=\"/film/%1.html\">%2</a> <span "
                               "class=\"year\">(%3)</span></li>\n")
                    .arg(film.id)
                    .arg(film.title.toHtmlEscaped())
                    .arg(film.year);
    }
    const QString body =
        rows.isEmpty()
            ? QStringLiteral("<p class=\"empty\">没有找到相关电影</p>\n")
            : QStringLiteral("<ul class=\"results\">\n") + rows + QStringLiteral("</ul>\n");
    return Gbk(Page(QStringLiteral("搜索：") + query, body));
}

QByteArray DemoSite::FilmPage(int id) const
{
    const Film* film = find(id);
    if (!film) return {};
    QString rows;
    for (const TorrentOffer& offer : Offers(*film))
        rows +=
            QStringLiteral("<tr><td class=\"name\">%1</td><td><a class=\"dl\" "
                           "href=\"/download.php?action=download&amp;id=%2&amp;uhash=%3\">下载</"
                           "a></td></tr>\n")
                .arg(offer.name.toHtmlEscaped(), offer.id, offer.hash);
    const QString body =
        QStringLiteral("<h1 class=\"film-title\">%1</h1>\n<p>年份：%2</p>\n")
            .arg(film->title.toHtmlEscaped())
            .arg(film->year) +
        (rows.isEmpty()
             ? QStringLiteral("<p class=\"empty\">暂无种子</p>\n")
             : QStringLiteral("<table class=\"torrents\">\n<tr><th>文件</th><th>下载</th></tr>\n") +
                   rows + QStringLiteral("</table>\n"));
    return Gbk(Page(film->title, body));
}

QByteArray DemoSite::TorrentFile(const QString& id) const
{
    const qsizetype dash = id.indexOf(u'-');
    const Film* film = dash > 0 ? find(id.left(dash).toInt()) : nullptr;
    if (!film) return {};
    for (const TorrentOffer& offer : Offers(*film)) {
        if (offer.id != id) continue;
        const qint64 length =
            qint64(kPieceLength) * (4 + qHash(id, 7) % 60) + qHash(id, 9) % kPieceLength;
        const QByteArray content = Content(id, length);
        QByteArray pieces;
        for (qint64 at = 0; at < length; at += kPieceLength)
            pieces +=
                QCryptographicHash::hash(content.mid(at, kPieceLength), QCryptographicHash::Sha1);
        const QByteArray info = Bencode::Dictionary({
            {"length", Bencode::Integer(length)},
            {"name", Bencode::String(offer.name.toUtf8())},
            {"piece length", Bencode::Integer(kPieceLength)},
            {"pieces", Bencode::String(pieces)},
        });
        return Bencode::Dictionary({
            {"announce", Bencode::String("http://127.0.0.1:18081/announce")},
            {"comment", Bencode::String("Reelmate demo site")},
            {"created by", Bencode::String("reelmate-demo-site")},
            {"creation date", Bencode::Integer(1765065600)},
            {"info", info},
        });
    }
    return {};
}

void DemoSite::Handle(const ServiceRequest& request, ServiceResponse& response) const
{
    const std::string& target = request.target;
    const std::string path = target.substr(0, target.find('?'));
    if (request.method == "GET" && path == "/s.php") {
        // The raw remainder after "q=", so "&" and "%" typed by the user stay in the query.
        const size_t q = target.find("q=");
        const std::string raw = q == std::string::npos ? std::string() : target.substr(q + 2);
        Html(response, 200, SearchPage(QueryText(PercentDecode(raw))));
        return;
    }
    if (request.method == "GET" && path.rfind("/film/", 0) == 0 && path.size() > 11 &&
        path.compare(path.size() - 5, 5, ".html") == 0) {
        bool ok = false;
        const int id = QString::fromStdString(path.substr(6, path.size() - 11)).toInt(&ok);
        const QByteArray page = ok ? FilmPage(id) : QByteArray();
        if (!page.isEmpty()) {
            Html(response, 200, page);
            return;
        }
    }
    if (request.method == "POST" && path == "/download.php") {
        const QMap<QString, QString> form = FormFields(request.body);
        const QString id = form.value(QStringLiteral("id"));
        const QByteArray torrent = form.value(QStringLiteral("action")) == u"download" &&
                                           form.value(QStringLiteral("uhash")) == HashFor(id)
                                       ? TorrentFile(id)
                                       : QByteArray();
        if (torrent.isEmpty()) {
            // As real sites do: a friendly page, not an HTTP error.
            Html(response, 200,
                 Gbk(Page(QStringLiteral("下载失败"),
                          QStringLiteral(
                              "<p class=\"error\">下载失败：种子不存在或校验码错误。</p>\n"))));
            return;
        }
        response.status = 200;
        response.body = torrent.toStdString();
        response.contentType = "application/x-bittorrent";
        response.headers["Content-Disposition"] =
            "attachment; filename=\"" + id.toStdString() + ".torrent\"";
        return;
    }
    if (request.method == "GET" && path == "/announce") {
        response.body = "d8:intervali1800e5:peerslee";
        response.contentType = "text/plain";
        return;
    }
    Html(response, 404,
         Gbk(Page(QStringLiteral("找不到页面"), QStringLiteral("<p>404 找不到页面</p>\n"))));
}
