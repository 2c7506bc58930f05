#include "GatewayFront.h"

#include "platform/core/HttpCall.h"
#include "relay/gateway/SiteSearch.h"

#include <QFile>
#include <QStringDecoder>

QString FromGb(const QByteArray& bytes)
{
    QStringDecoder decode("GB18030");
    return decode.decode(bytes);
}

GatewayFront::GatewayFront(const Files& files, const QString& sites, const QString& relayKeys)
{
    for (const auto& [name, content] : files) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly)) file.write(content);
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    }
    const QString text = QStringLiteral("[relay]\n") + relayKeys +
                         QStringLiteral("\n[gateway]\nbase = %1\nsecret_file = secret\n"
                                        "dht = off\nbt_listen = 127.0.0.1:0\n")
                             .arg(QLatin1String(kGatewayBase)) +
                         sites;
    std::string why;
    if (!ParseRelayConfig(text.toStdString(), config, why) ||
        !(why = LoadGateway(config, dir.path().toStdString(), "test.conf")).empty())
        error = QString::fromStdString(why);
}

bool GatewayFront::start()
{
    if (!error.isEmpty()) return false;
    relay_ = std::make_unique<Relay>(config, [this](const std::string& line) {
        const std::lock_guard lock(mutex_);
        log_.push_back(QString::fromStdString(line));
    });
    service_.start({});
    return true;
}

Answer GatewayFront::get(const QString& target) const
{
    HttpCall call;
    call.url = QStringLiteral("http://127.0.0.1:%1%2").arg(service_.port()).arg(target);
    const HttpOutcome out = PerformHttp(call);
    return {out.status, out.body};
}

Answer GatewayFront::search(const QString& query) const
{
    return get(QStringLiteral("/moviejk/Find.php?url=%1/s.php?q=%2")
                   .arg(QLatin1String(kGatewayBase), query));
}

Answer GatewayFront::film(const QString& path) const
{
    return get(QStringLiteral("/moviejk/Down.php?url=%1%2").arg(QLatin1String(kGatewayBase), path));
}

Answer GatewayFront::download(const QByteArray& form) const
{
    HttpCall call;
    call.method = "POST";
    call.url = QStringLiteral("http://127.0.0.1:%1/download.php").arg(service_.port());
    call.body = form;
    const HttpOutcome out = PerformHttp(call);
    return {out.status, out.body};
}

QStringList GatewayFront::hits(const QString& query) const
{
    const Answer a = search(query);
    return a.status == 200 ? FromGb(a.body).split(u'|', Qt::SkipEmptyParts) : QStringList();
}

QStringList GatewayFront::torrent(const QString& path) const
{
    return FromGb(film(path).body).split(u'|', Qt::SkipEmptyParts);
}

Answer GatewayFront::downloadLink(const QString& link) const
{
    return download(link.section(u'?', 1).toUtf8());
}

Answer GatewayFront::searchAndDownload(const QString& query, QString* title) const
{
    const QStringList found = FromGb(search(query).body).split(u'|');
    if (found.size() < 2) return {};
    const QStringList got = FromGb(film(found[1]).body).split(u'|');
    if (got.size() < 2) return {};
    if (title) *title = got[0];
    return downloadLink(got[1]);
}

QString GatewayFront::logged(const QString& text) const
{
    const std::lock_guard lock(mutex_);
    for (auto it = log_.rbegin(); it != log_.rend(); ++it)
        if (it->contains(text)) return *it;
    return {};
}
