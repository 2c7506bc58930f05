#include "relay/RowEncoding.h"

#include <QString>
#include <QStringEncoder>

bool SameSite(const SiteProfile& site, const UrlOrigin& origin)
{
    return origin.ok && site.scheme == origin.scheme && site.host == origin.host &&
           site.port == origin.port;
}

std::string EncodeRows(const std::vector<std::pair<std::string, std::string>>& rows,
                       bool searchRows, const SiteProfile& site, size_t maxBytes, bool& cut)
{
    std::string reply;
    for (auto [first, second] : rows) {
        if (first.empty() || second.empty()) continue; // a row without both fields is no hit
        if (searchRows) {
            // The path relative to the site's base URL.
            if (second.rfind("http://", 0) == 0 || second.rfind("https://", 0) == 0) {
                const UrlOrigin link = ParseOrigin(second);
                if (!SameSite(site, link)) continue;
                second = link.pathAndQuery;
            } else if (second.rfind("//", 0) == 0) {
                continue;
            } else if (second[0] != '/') {
                second.insert(0, 1, '/');
            }
        }
        if (reply.size() + first.size() + second.size() + 2 > maxBytes) {
            cut = true; // whole rows only: the program must never read half a pair
            break;
        }
        reply.append(first).append(1, '|').append(second).append(1, '|');
    }
    return reply;
}

std::string Gb18030(std::string utf8)
{
    thread_local QStringEncoder encoder("GB18030"); // opening the converter costs more than a reply
    QString text = QString::fromUtf8(utf8);
    std::string().swap(utf8);
    const QByteArray bytes = encoder.encode(text);
    text = QString();
    return std::string(bytes.constData(), size_t(bytes.size()));
}
