#pragma once

#include <QString>
#include <QStringList>

/** What a service was told on its command line. */
struct ServiceArguments {
    QString config;        // empty: the built-in configuration
    QString listenAddress; // empty: as the configuration says
    int listenPort = 0;
    QStringList check;            // --check SITE QUERY: site and query
    QStringList checkDefinitions; // --check-definition FILE...
    QString login;                // --login SITE: a person logs the site in
    QString secretFile;           // --secret-file FILE: over the configuration's
    QString stateDir;             // --state-dir FOLDER: over the configuration's state_dir
    /** The catalogue's commands: "catalogue", "update-catalogue", "add-site" or "remove-site";
     *  empty for none. */
    QString siteCommand;
    QString site;              // --add-site NAME, --remove-site NAME
    QStringList siteArguments; // WORD, URL or KEY=VALUE...: what follows the command
};

/** A service's command line: --help, --version, --config FILE (or --config=FILE) and
 *  --listen ADDRESS:PORT; where allowCheck (the relay), also --check SITE QUERY,
 *  --check-definition FILE..., --login SITE, --secret-file FILE, --state-dir FOLDER and the
 * catalogue's commands
 * (--catalogue [WORD], --update-catalogue [URL], --add-site NAME [KEY=VALUE]..., --remove-site
 * NAME), which need --config.
 * --help and --version print and end the process (0); an unknown option, a missing value or a bad
 * address prints usage on stderr and ends it with status 2. */
ServiceArguments ParseServiceArguments(const QStringList& arguments, const QString& description,
                                       const QString& configMeaning, bool allowCheck = false);
