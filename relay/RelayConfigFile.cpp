#include "relay/RelayConfigFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

/** The text of one configuration file into text; empty, or "FILE: reason". */
std::string ReadConfigText(const QString& path, std::string& text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return path.toStdString() + ": cannot read: " + file.errorString().toStdString();
    // Read no more than a configuration can be: /dev/zero or a log named by mistake is refused.
    constexpr qint64 kMaxConfig = 1 << 20;
    const QByteArray bytes = file.read(kMaxConfig + 1);
    if (bytes.size() > kMaxConfig)
        return path.toStdString() + ": larger than " + std::to_string(kMaxConfig) +
               " bytes: not a configuration";
    text = bytes.toStdString();
    return {};
}

} // namespace

std::string ConfDirOf(const std::string& path)
{
    if (path.empty() || path[0] == ':') return {};
    return QFileInfo(QString::fromStdString(path)).absolutePath().toStdString() + "/relay.conf.d";
}

std::string LoadRelayConfigFile(const std::string& path, const std::string& secretFile,
                                RelayConfig& config, const std::string& stateDir)
{
    config = RelayConfig();
    std::vector<ConfigText> files(1);
    files[0].file = path;
    if (std::string why = ReadConfigText(QString::fromStdString(path), files[0].text); !why.empty())
        return why;
    if (const std::string confDir = ConfDirOf(path); !confDir.empty()) {
        const QDir dir(QString::fromStdString(confDir));
        for (const QString& name :
             dir.entryList({QStringLiteral("*.conf")}, QDir::Files, QDir::Name)) {
            files.push_back({dir.filePath(name).toStdString(), {}});
            if (std::string why = ReadConfigText(dir.filePath(name), files.back().text);
                !why.empty())
                return why;
        }
    }
    std::string error;
    if (!ParseRelayConfig(files, config, error)) return error;
    if (error = CheckRelayConfig(config); !error.empty()) return config.sources.Locate(error);
    if (!secretFile.empty() && config.gateway.enabled)
        config.gateway.secretFile =
            QFileInfo(QString::fromStdString(secretFile)).absoluteFilePath().toStdString();
    if (!stateDir.empty() && config.gateway.enabled)
        config.gateway.stateDir =
            QFileInfo(QString::fromStdString(stateDir)).absoluteFilePath().toStdString();
    // Definition files and the gateway's secret are named relative to the configuration.
    const std::string folder =
        path[0] == ':' ? std::string()
                       : QFileInfo(QString::fromStdString(path)).absolutePath().toStdString();
    return LoadGateway(config, folder, path);
}
