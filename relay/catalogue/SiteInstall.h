#pragma once

#include <string>
#include <utility>
#include <vector>

/** How --add-site or --remove-site ended. */
enum class SiteChangeKind {
    Done,
    Refused, // the site cannot be served, or the configuration would not start: nothing changed
    Misuse,  // a name or setting that cannot be
};

/** The outcome and what to tell the user. */
struct SiteChange {
    SiteChangeKind kind = SiteChangeKind::Done;
    std::string message;
};

/** Serves the catalogue's NAME: copies NAME.yml into the definitions folder and writes the
 *  settings to relay.conf.d/NAME.conf (secrets to the state folder's credentials/NAME.conf,
 *  which only the folder's owner may read), then loads the whole configuration as a start would,
 * undoing it all when that fails. */
SiteChange AddSite(const std::string& configPath, const std::string& secretFile,
                   const std::string& name,
                   const std::vector<std::pair<std::string, std::string>>& settings,
                   const std::string& stateDir = {});

/** Takes out what AddSite put in for NAME, unless the configuration would then not start. */
SiteChange RemoveSite(const std::string& configPath, const std::string& secretFile,
                      const std::string& name, const std::string& stateDir = {});

/** True for a setting whose value is a secret (a password, a cookie, a key). */
bool SecretSetting(const std::string& key);
