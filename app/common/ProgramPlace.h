#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/** Where the program saves torrents: next to itself when it runs from its build tree, else
 *  (installed, under /usr or anywhere else) in the user's download folder, made when missing.
 *  Decided by where it was built, never by which folders happen to be writable. */
QString TorrentFolder(const QString& programFolder, const QString& buildFolder);

/** The only command line the program answers: --help and --version on stdout (0); anything
 *  else is usage on stderr (2). Nothing for no arguments: the windows open. */
std::optional<int> AnswerCommandLine(const QStringList& arguments);
