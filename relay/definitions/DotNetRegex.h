#pragma once

#include <QRegularExpression>
#include <QString>

#include <string>

/** Regular expressions as the definitions write them, for .NET's engine. */

/** The pattern as QRegularExpression (PCRE2) reads it: .NET's Unicode block names become
 *  PCRE's script names ("\p{IsCyrillic}": "\p{Cyrillic}") or, for blocks that are no script,
 *  their ranges ("\p{IsCJKUnifiedIdeographs}": "[\x{4e00}-\x{9fff}]"), and "\uXXXX" is
 *  PCRE's "\x{XXXX}". */
QString DotNetPattern(const std::string& pattern);

/** Every match of re in input replaced as .NET's Regex.Replace does: in replacement, "$1" and
 *  "${1}" are groups (the longest run of digits that names a group), "${name}" a named group,
 *  "$0" and "$&" the match, "$`" and "$'" the text before and after it, "$+" the last group,
 *  "$_" the whole input and "$$" a dollar; anything else, a "$" included, stands as written. */
QString DotNetReplace(const QString& input, const QRegularExpression& re,
                      const QString& replacement);
