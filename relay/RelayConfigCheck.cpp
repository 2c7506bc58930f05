#include "relay/PageReducer.h"
#include "relay/RelayConfig.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace {

/** The length a DER value announces in its header, header included; 0 when malformed. */
qsizetype DerLength(const QByteArray& der)
{
    if (der.size() < 2 || uchar(der[0]) != 0x30) return 0; // a certificate is a SEQUENCE
    const auto first = uchar(der[1]);
    if (first < 0x80) return 2 + first;
    const int bytes = first & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return 0;
    qsizetype length = 0;
    for (int i = 0; i < bytes; ++i)
        length = length * 256 + uchar(der[2 + i]);
    return 2 + bytes + length;
}

/** Empty when path holds at least one PEM certificate and nothing malformed between the
 *  markers; else why not. */
std::string CheckCaBundle(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    constexpr qint64 kMaxBundle = 16 << 20;
    if (!file.open(QIODevice::ReadOnly)) return "cannot read " + path;
    const QByteArray text = file.read(kMaxBundle + 1);
    if (text.size() > kMaxBundle) return path + " is too large for a CA bundle";
    const QByteArray begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    int certificates = 0;
    for (qsizetype at = text.indexOf(begin); at >= 0; at = text.indexOf(begin, at + 1)) {
        const qsizetype stop = text.indexOf(end, at);
        if (stop < 0) return path + ": a certificate has no end marker";
        const auto der = QByteArray::fromBase64Encoding(
            text.mid(at + begin.size(), stop - at - begin.size()).simplified().replace(' ', ""),
            QByteArray::AbortOnBase64DecodingErrors);
        if (!der || DerLength(*der) != (*der).size())
            return path + ": certificate " + std::to_string(certificates + 1) + " is malformed";
        ++certificates;
    }
    return certificates ? std::string() : path + " holds no PEM certificate";
}

} // namespace

std::string CheckRelayConfig(const RelayConfig& config)
{
    for (const SiteProfile& site : config.sites) {
        const auto at = [&site](const char* key) {
            const auto it = site.lines.find(key);
            return std::to_string(it == site.lines.end() ? 0 : it->second) + ": site " + site.name +
                   ": ";
        };
        // A definition's site, named or from the folder, is checked when its file is read.
        if (!site.definitionFile.empty() || (site.searchRows.empty() && site.filmRows.empty()))
            continue;
        if (site.charset != "auto" && !KnownCharset(site.charset))
            return at("charset") + "unknown charset " + site.charset;
        if (!site.caFile.empty())
            if (std::string why = CheckCaBundle(site.caFile); !why.empty())
                return at("ca_file") + why;
        if (std::string why = CheckExpressions(site.searchRows, site.searchTitle, site.searchPath);
            !why.empty())
            return at("search_rows") + why;
        if (!site.searchNext.empty())
            if (std::string why = CheckExpressions(site.searchRows, site.searchNext, {});
                !why.empty())
                return at("search_next") + why;
        if (std::string why = CheckExpressions(site.filmRows, site.filmName, site.filmLink);
            !why.empty())
            return at("film_rows") + why;
    }
    return {};
}
