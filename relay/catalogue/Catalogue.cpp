#include "relay/catalogue/Catalogue.h"

#include "relay/definitions/CompiledDefinition.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <stdlib.h>
#include <sys/stat.h>

namespace {

/** A top-level "key: value" of a definition's text, or "". */
std::string TopLevel(const QByteArray& text, const QByteArray& key)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(key + ':')) {
            QByteArray value = line.mid(key.size() + 1).trimmed();
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\''))
                value = value.mid(1, value.size() - 2);
            return value.toStdString();
        }
    return {};
}

} // namespace

std::string CatalogueDir(const std::string& stateDir)
{
    return stateDir + "/catalogue";
}

std::string InstallCatalogue(const std::string& stateDir, const DefinitionArchive& archive)
{
    std::string pattern = stateDir + "/catalogue.new-XXXXXX";
    if (!::mkdtemp(pattern.data())) return "cannot make a folder in " + stateDir;
    const QString fresh = QString::fromStdString(pattern);
    QDir dir(fresh);
    for (const auto& [name, bytes] : archive.files) {
        QFile file(dir.filePath(QString::fromStdString(name) + QStringLiteral(".yml")));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            dir.removeRecursively();
            return "cannot write " + file.fileName().toStdString();
        }
    }
    ::chmod(pattern.c_str(), 0755); // mkdtemp's 0700: the catalogue is no secret
    const QString target = QString::fromStdString(CatalogueDir(stateDir));
    const QString old = target + QStringLiteral(".old");
    QDir(old).removeRecursively();
    if (QFileInfo::exists(target) && !QDir().rename(target, old)) {
        dir.removeRecursively();
        return "cannot move the old catalogue " + target.toStdString() + " aside";
    }
    if (!QDir().rename(fresh, target)) {
        QDir().rename(old, target);
        dir.removeRecursively();
        return "cannot rename " + pattern + " to " + target.toStdString();
    }
    QDir(old).removeRecursively();
    return {};
}

bool ReadCatalogue(const std::string& dir, const std::string& word,
                   std::vector<CatalogueEntry>& entries, std::string& why)
{
    const QDir folder(QString::fromStdString(dir));
    const QStringList names = folder.entryList({QStringLiteral("*.yml")}, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        why = "no catalogue in " + dir + ": run --update-catalogue first";
        return false;
    }
    std::vector<std::string> paths;
    for (const QString& name : names)
        if (word.empty() ||
            name.chopped(4).contains(QString::fromStdString(word), Qt::CaseInsensitive)) {
            paths.push_back(folder.filePath(name).toStdString());
            entries.push_back({name.chopped(4).toStdString(), {}, {}, false, {}});
        }
    const std::vector<DefinitionRead> read = ReadDefinitions(paths);
    for (size_t i = 0; i < read.size(); ++i) {
        QFile file(QString::fromStdString(paths[i]));
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.read(4 << 20) : QByteArray();
        entries[i].type = TopLevel(text, "type");
        entries[i].language = TopLevel(text, "language");
        entries[i].servable = read[i].ok;
        entries[i].why = read[i].why;
    }
    return true;
}
