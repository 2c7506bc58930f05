#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/** Where the program saves torrents: next to itself when it runs from its build tree, else
 *  (installed, under /usr or anywhere else) in the user's download folder, made when missing.
 *  Decided by where it was built, never by which folders happen to be writable. */
QString TorrentFolder(const QString& programFolder, const QString& buildFolder);

/** The only command line the program answers: --help and --version on stdout (0), before any
 *  window or display is needed. Nothing for anything else: the windows open, Qt reads its own
 *  options and every other word is ignored. */
std::optional<int> AnswerCommandLine(const QStringList& arguments);
