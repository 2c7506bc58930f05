#include "serve/ServiceCommandLine.h"

#include "serve/ListenAddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Misuse(const QCommandLineParser& parser, const QString& why)
{
    std::fprintf(stderr, "%s: %s\n\n%s", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(why), qPrintable(parser.helpText()));
    std::exit(2);
}

} // namespace

ServiceArguments ParseServiceArguments(const QStringList& arguments, const QString& description,
                                       const QString& configMeaning, bool allowCheck)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption config(QStringLiteral("config"), configMeaning,
                                    QStringLiteral("FILE"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Listen on ADDRESS:PORT instead."),
                                    QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption check(
        QStringLiteral("check"),
        QStringLiteral("Search QUERY on SITE through its profile, print the rows and what went "
                       "wrong, and exit: the way to write and repair a profile."),
        QStringLiteral("SITE"));
    const QCommandLineOption checkDefinition(
        QStringLiteral("check-definition"),
        QStringLiteral("Read each indexer definition FILE (or every .yml in a folder) as the "
                       "relay would, print FILE: ok or FILE:LINE: what it cannot do, and exit "
                       "(0 when every file is ok). No network."));
    const QCommandLineOption secretFile(
        QStringLiteral("secret-file"),
        QStringLiteral("Read the gateway's secret from FILE instead of the configuration's "
                       "secret_file (as systemd hands it over, for one)."),
        QStringLiteral("FILE"));
    const QCommandLineOption stateDir(
        QStringLiteral("state-dir"),
        QStringLiteral("Keep sessions, credentials, the catalogue and the magnet cache in "
                       "FOLDER instead of the configuration's state_dir (one per instance, "
                       "say)."),
        QStringLiteral("FOLDER"));
    const QCommandLineOption catalogue(
        QStringLiteral("catalogue"),
        QStringLiteral("List the catalogue of the community's definitions (fetched by "
                       "--update-catalogue), the names holding WORD only: name, type, language "
                       "and ok or why the relay cannot serve it."));
    const QCommandLineOption updateCatalogue(
        QStringLiteral("update-catalogue"),
        QStringLiteral("Download the community's definition set (a .tar.gz: URL, file:// URL "
                       "or path; default: Prowlarr's Indexers) into [gateway] state_dir's "
                       "catalogue/, and say how many definitions the relay can serve."));
    const QCommandLineOption addSite(
        QStringLiteral("add-site"),
        QStringLiteral("Serve the catalogue's NAME: its definition into the definitions folder, "
                       "its settings (KEY=VALUE, KEY one of the definition's settings or "
                       "cookie) into relay.conf.d/NAME.conf, passwords and cookies into a file "
                       "only its owner reads (KEY=- reads the value from stdin, out of the "
                       "process list); undone unless the configuration still starts."),
        QStringLiteral("NAME"));
    const QCommandLineOption removeSite(QStringLiteral("remove-site"),
                                        QStringLiteral("Take out what --add-site NAME put in."),
                                        QStringLiteral("NAME"));
    const QCommandLineOption login(
        QStringLiteral("login"),
        QStringLiteral("Log SITE in on the terminal (a captcha, a one-time code): the captcha "
                       "is saved to a file, its answer read from stdin; the session goes to the "
                       "state folder, where the running relay takes it. Run it as that "
                       "folder's owner."),
        QStringLiteral("SITE"));
    if (allowCheck) {
        parser.addOptions({catalogue, updateCatalogue, addSite, removeSite});
        parser.addOption(secretFile);
        parser.addOption(stateDir);
        parser.addOption(login);
        parser.addOption(check);
        parser.addOption(checkDefinition);
        parser.addPositionalArgument(QStringLiteral("QUERY"), QStringLiteral("With --check."));
        parser.addPositionalArgument(QStringLiteral("FILE"),
                                     QStringLiteral("With --check-definition, one or more."));
        parser.addPositionalArgument(
            QStringLiteral("WORD|URL|KEY=VALUE"),
            QStringLiteral("With --catalogue, --update-catalogue, --add-site (any number)."));
    }
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(config);
    parser.addOption(listen);
    if (!parser.parse(arguments)) Misuse(parser, parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(0);
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        std::exit(0);
    }
    ServiceArguments result;
    if (parser.values(config).size() > 1) Misuse(parser, QStringLiteral("--config given twice"));
    result.config = parser.value(config);
    if (parser.isSet(listen)) {
        ListenAddress where;
        std::string why;
        if (!ParseListenAddress(parser.value(listen).toStdString(), where, why))
            Misuse(parser, QStringLiteral("--listen: ") + QString::fromStdString(why));
        result.listenAddress = QString::fromStdString(where.address);
        result.listenPort = where.port;
    }
    if (allowCheck) result.secretFile = parser.value(secretFile);
    if (allowCheck) result.stateDir = parser.value(stateDir);
    if (allowCheck) {
        const QList<std::pair<const QCommandLineOption*, QString>> commands = {
            {&catalogue, QStringLiteral("catalogue")},
            {&updateCatalogue, QStringLiteral("update-catalogue")},
            {&addSite, QStringLiteral("add-site")},
            {&removeSite, QStringLiteral("remove-site")}};
        for (const auto& [option, name] : commands) {
            if (!parser.isSet(*option)) continue;
            if (!result.siteCommand.isEmpty() || parser.isSet(check) ||
                parser.isSet(checkDefinition) || parser.isSet(login))
                Misuse(parser, QStringLiteral("--") + name + QStringLiteral(" goes alone"));
            result.siteCommand = name;
        }
    }
    const QStringList positional = parser.positionalArguments();
    if (!result.siteCommand.isEmpty()) {
        const QString& command = result.siteCommand;
        if (result.config.isEmpty())
            Misuse(parser, QStringLiteral("--") + command +
                               QStringLiteral(" needs --config FILE: the configuration it "
                                              "reads and changes"));
        if ((command == QLatin1String("catalogue") ||
             command == QLatin1String("update-catalogue")) &&
            positional.size() > 1)
            Misuse(parser, QStringLiteral("--") + command + QStringLiteral(" takes one argument"));
        if (command == QLatin1String("remove-site") && !positional.isEmpty())
            Misuse(parser, QStringLiteral("--remove-site NAME takes nothing more"));
        if (command == QLatin1String("add-site"))
            for (const QString& pair : positional)
                if (pair.indexOf(u'=') < 1)
                    Misuse(parser, QStringLiteral("--add-site NAME wants KEY=VALUE, not ") + pair);
        if (command == QLatin1String("add-site")) result.site = parser.value(addSite);
        if (command == QLatin1String("remove-site")) result.site = parser.value(removeSite);
        result.siteArguments = positional;
    } else if (allowCheck && parser.isSet(login)) {
        if (parser.isSet(check) || parser.isSet(checkDefinition) ||
            !parser.positionalArguments().isEmpty())
            Misuse(parser, QStringLiteral("--login SITE takes nothing else but --config"));
        result.login = parser.value(login);
    } else if (allowCheck && parser.isSet(checkDefinition)) {
        if (parser.isSet(check) || parser.positionalArguments().isEmpty())
            Misuse(parser, QStringLiteral("--check-definition wants one or more FILEs"));
        result.checkDefinitions = parser.positionalArguments();
    } else if (allowCheck && parser.isSet(check)) {
        if (parser.positionalArguments().size() != 1)
            Misuse(parser, QStringLiteral("--check SITE wants one QUERY"));
        result.check = {parser.value(check), parser.positionalArguments().front()};
    } else if (!parser.positionalArguments().isEmpty())
        Misuse(parser,
               QStringLiteral("unexpected argument ") + parser.positionalArguments().front());
    return result;
}
