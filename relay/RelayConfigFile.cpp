#include "relay/RelayConfigFile.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

std::string LoadRelayConfigFile(const std::string& path, const std::string& secretFile,
                                RelayConfig& config)
{
    const QString name = QString::fromStdString(path);
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return path + ": cannot read: " + file.errorString().toStdString();
    // Read no more than a configuration can be: /dev/zero or a log named by mistake is refused.
    constexpr qint64 kMaxConfig = 1 << 20;
    const QByteArray text = file.read(kMaxConfig + 1);
    if (text.size() > kMaxConfig)
        return path + ": larger than " + std::to_string(kMaxConfig) + " bytes: not a configuration";
    config = RelayConfig();
    std::string error;
    if (!ParseRelayConfig(text.toStdString(), config, error) ||
        !(error = CheckRelayConfig(config)).empty())
        return path + ":" + error;
    if (!secretFile.empty() && config.gateway.enabled)
        config.gateway.secretFile =
            QFileInfo(QString::fromStdString(secretFile)).absoluteFilePath().toStdString();
    // Definition files and the gateway's secret are named relative to the configuration.
    const QString folder = name.startsWith(u':') ? QString() : QFileInfo(name).absolutePath();
    return LoadGateway(config, folder.toStdString(), path);
}
