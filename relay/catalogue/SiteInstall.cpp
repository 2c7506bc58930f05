#include "relay/catalogue/SiteInstall.h"

#include "relay/RelayConfigFile.h"
#include "relay/catalogue/Catalogue.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/magnet/MetadataCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kReloadHint = "Run: systemctl reload reelmate-relay";

SiteChange Refused(std::string message)
{
    return {SiteChangeKind::Refused, std::move(message)};
}

SiteChange Misuse(std::string message)
{
    return {SiteChangeKind::Misuse, std::move(message)};
}

/** Where one site's three files go: the secrets in the state folder, which the service (a user
 *  systemd makes) owns and reads, and root can always write. */
struct SiteFiles {
    std::string definition, conf, credentials;
};

std::string InFolder(const std::string& folder, const std::string& name)
{
    return name.empty() || name[0] == '/' ? name : folder + "/" + name;
}

SiteFiles FilesOf(const std::string& configPath, const RelayConfig& config, const std::string& name)
{
    const std::string folder =
        QFileInfo(QString::fromStdString(configPath)).absolutePath().toStdString();
    return {InFolder(folder, config.gateway.definitionsDir) + "/" + name + ".yml",
            ConfDirOf(configPath) + "/" + name + ".conf",
            config.gateway.magnet.stateDir + "/credentials/" + name + ".conf"};
}

/** Writes text to a new file of that mode (never over one); empty, or why not. */
std::string WriteNew(const std::string& path, const std::string& text, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return "cannot make " + path + ": " + std::strerror(errno);
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::fchmod(fd, mode); // whatever the umask took away from it
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        return "cannot write " + path;
    }
    return {};
}

/** The secrets written whole to the state folder's credentials/NAME.conf (mode 0600, never
 *  over a file there), the folder's owner's; empty, or why not. */
std::string WriteSecrets(const std::string& stateDir, const std::string& name,
                         const std::string& text)
{
    const int dir = OpenOwnedSubfolder(stateDir, "credentials");
    if (dir < 0) return "cannot make or open " + stateDir + "/credentials";
    const std::string file = name + ".conf";
    struct stat st {};
    std::string why;
    if (::fstatat(dir, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        why = stateDir + "/credentials/" + file + " is there already";
    else if (!WriteFileAt(dir, file, text))
        why = "cannot write " + stateDir + "/credentials/" + file;
    else if (!GiveToFolderOwner(dir, file.c_str())) {
        ::unlinkat(dir, file.c_str(), 0);
        why = "cannot give " + stateDir + "/credentials/" + file + " to the state folder's owner";
    }
    ::close(dir);
    return why;
}

/** The folder made when missing, with mode; empty, or why not. */
std::string MakeFolder(const std::string& path, mode_t mode)
{
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return "cannot make " + path + ": " + std::strerror(errno);
    return {};
}

bool ValidName(const std::string& name)
{
    return !name.empty() && name[0] != '.' && name.size() <= 100 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '_' || c == '.';
           });
}

std::string ReadWhole(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

/** The site's conf.d text and its credentials' (empty when none was given). */
std::pair<std::string, std::string>
SiteTexts(const std::string& name, const SiteFiles& files,
          const std::vector<std::pair<std::string, std::string>>& settings)
{
    std::string conf = "# Written by reelmate-relay --add-site " + name + "; --remove-site " +
                       name + " takes it out.\n[site " + name +
                       "]\ndefinition = " + files.definition + "\n";
    std::string secrets;
    for (const auto& [key, value] : settings) {
        // The credentials file names settings bare ("password = ..."), as its readers expect.
        if (SecretSetting(key))
            secrets.append(key + " = ").append(value + "\n");
        else
            conf.append(key == "cookie" ? "" : "config.").append(key + " = ").append(value + "\n");
    }
    if (!secrets.empty()) {
        conf += "credentials_file = " + files.credentials + "\n";
        secrets =
            "# " + name + "'s secrets: this file is for its owner alone (chmod 600).\n" + secrets;
    }
    return {conf, secrets};
}

} // namespace

bool SecretSetting(const std::string& key)
{
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* word : {"cookie", "pass", "key", "token", "secret"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

SiteChange AddSite(const std::string& configPath, const std::string& secretFile,
                   const std::string& name,
                   const std::vector<std::pair<std::string, std::string>>& settings,
                   const std::string& stateDir)
{
    if (!ValidName(name)) return Misuse("no site can be named " + name);
    RelayConfig config;
    if (std::string why = LoadRelayConfigFile(configPath, secretFile, config, stateDir);
        !why.empty())
        return Refused("the configuration does not start as it stands: " + why);
    if (!config.gateway.enabled || config.gateway.definitionsDir.empty())
        return Refused("the configuration has no [gateway] definitions = FOLDER to add " + name +
                       " to");
    const std::string source = CatalogueDir(config.gateway.magnet.stateDir) + "/" + name + ".yml";
    if (!QFileInfo::exists(QString::fromStdString(source)))
        return Refused("no " + name + " in the catalogue (" + source +
                       "): --catalogue WORD lists it, --update-catalogue fetches it");
    DefinitionRead read = std::move(ReadDefinitions({source}).front());
    if (!read.ok) return Refused(name + " cannot be served: " + source + ":" + read.why);
    for (const auto& [key, value] : settings) {
        if (key != "cookie" && !read.definition->settings.count(key)) {
            std::string known = "cookie";
            for (const auto& setting : read.definition->settings)
                if (setting.first != "cookie") known += ", " + setting.first;
            return Misuse(std::string(name)
                              .append(" has no setting ")
                              .append(key)
                              .append(" (it has " + known + ")"));
        }
        if (value.find_first_of("\r\n") != std::string::npos)
            return Misuse(key + ": a value is one line");
    }
    const SiteFiles files = FilesOf(configPath, config, name);
    if (std::any_of(config.sites.begin(), config.sites.end(),
                    [&name](const SiteProfile& s) { return s.name == name; }))
        return Refused(
            std::string(name).append(" is served already: --remove-site ").append(name + " first"));
    for (const std::string& path : {files.conf, files.credentials})
        if (QFileInfo::exists(QString::fromStdString(path)))
            return Refused(std::string(path)
                               .append(" is there already: --remove-site ")
                               .append(name + " first"));
    const auto [conf, secrets] = SiteTexts(name, files, settings);
    std::vector<std::string> written;
    const auto undo = [&written] {
        for (const std::string& path : written)
            ::unlink(path.c_str());
    };
    std::string why = WriteNew(files.definition, ReadWhole(source), 0644);
    if (why.empty()) written.push_back(files.definition);
    if (why.empty() && !secrets.empty()) {
        why = WriteSecrets(config.gateway.magnet.stateDir, name, secrets);
        if (why.empty()) written.push_back(files.credentials);
    }
    if (why.empty()) why = MakeFolder(ConfDirOf(configPath), 0755);
    if (why.empty()) why = WriteNew(files.conf, conf, 0644);
    if (why.empty()) written.push_back(files.conf);
    if (why.empty()) why = LoadRelayConfigFile(configPath, secretFile, config, stateDir);
    if (!why.empty()) {
        undo();
        return Refused("not added, nothing changed: " + why);
    }
    std::string message = "added " + name + ": " + files.definition + ", " + files.conf;
    if (!secrets.empty()) message += ", " + files.credentials + " (its secrets)";
    return {SiteChangeKind::Done, message + "\n" + kReloadHint};
}

SiteChange RemoveSite(const std::string& configPath, const std::string& secretFile,
                      const std::string& name, const std::string& stateDir)
{
    if (!ValidName(name)) return Misuse("no site can be named " + name);
    RelayConfig config;
    if (std::string why = LoadRelayConfigFile(configPath, secretFile, config, stateDir);
        !why.empty())
        return Refused("the configuration does not start as it stands: " + why);
    if (config.gateway.definitionsDir.empty())
        return Refused("the configuration has no [gateway] definitions = FOLDER");
    const SiteFiles files = FilesOf(configPath, config, name);
    struct Kept {
        std::string path, text;
        struct stat st;
    };
    std::vector<Kept> kept;
    for (const std::string& path : {files.definition, files.conf, files.credentials}) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            kept.push_back({path, ReadWhole(path), st});
    }
    if (kept.empty())
        return Refused("no site " + name + " to remove: neither " + files.definition + " nor " +
                       files.conf);
    for (const Kept& k : kept)
        ::unlink(k.path.c_str());
    if (std::string why = LoadRelayConfigFile(configPath, secretFile, config, stateDir);
        !why.empty()) {
        std::string lost; // what could not be put back as it was (its owner too)
        for (const Kept& k : kept)
            if (!WriteNew(k.path, k.text, k.st.st_mode & 07777).empty() ||
                ::lchown(k.path.c_str(), k.st.st_uid, k.st.st_gid) != 0)
                lost += " " + k.path;
        if (!lost.empty()) return Refused("could not put back" + lost + ": " + why);
        return Refused("not removed, nothing changed: without " + name +
                       " the configuration would not start: " + why);
    }
    std::string message = "removed " + name + ":";
    for (const Kept& k : kept)
        message += " " + k.path;
    return {SiteChangeKind::Done, message + "\n" + kReloadHint};
}
