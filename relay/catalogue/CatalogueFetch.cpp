#include "relay/catalogue/CatalogueFetch.h"

#include "platform/core/HttpCall.h"

#include <QFile>
#include <QUrl>

namespace {

bool ReadLocal(const QString& path, QByteArray& bytes, std::string& why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = "cannot read " + path.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    bytes = file.read(kMaxCatalogueDownload + 1);
    if (bytes.size() > kMaxCatalogueDownload) {
        why = path.toStdString() + " is larger than an archive of definitions can be";
        return false;
    }
    return true;
}

} // namespace

bool FetchCatalogueArchive(const std::string& where, QByteArray& bytes, std::string& why)
{
    QUrl url(QString::fromStdString(where));
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("file")) return ReadLocal(url.toLocalFile(), bytes, why);
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return ReadLocal(QString::fromStdString(where), bytes, why);
    constexpr int kMaxRedirects = 5; // GitHub sends its archives from another host
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        HttpCall call;
        call.url = url.toString(QUrl::FullyEncoded);
        call.limits.connect = std::chrono::seconds(15);
        call.limits.total = std::chrono::minutes(5);
        call.limits.maxBody = kMaxCatalogueDownload;
        call.userAgent = "reelmate-relay/" REELMATE_VERSION;
        HttpOutcome outcome = PerformHttp(call);
        if (!outcome.completed) {
            why = call.url.toStdString() + ": " + outcome.error.toStdString();
            return false;
        }
        if (outcome.status >= 300 && outcome.status < 400 && !outcome.location.isEmpty()) {
            const QUrl next = url.resolved(QUrl(QString::fromUtf8(outcome.location)));
            if (next.scheme() != QLatin1String("https") &&
                (url.scheme() == QLatin1String("https") ||
                 next.scheme() != QLatin1String("http"))) {
                why = call.url.toStdString() + " sends to " + outcome.location.toStdString() +
                      ": not followed (only to http(s), never from https to http)";
                return false;
            }
            url = next;
            continue;
        }
        if (outcome.status != 200) {
            why =
                call.url.toStdString() + ": the server answered " + std::to_string(outcome.status);
            return false;
        }
        bytes = std::move(outcome.body);
        return true;
    }
    why = where + ": more than " + std::to_string(kMaxRedirects) + " redirects";
    return false;
}
