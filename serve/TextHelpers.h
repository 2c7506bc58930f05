#pragma once

#include <string>

/** The text with every byte that could forge or garble a log line (controls, quotes, backslash,
 *  bytes outside ASCII) written as \xNN. */
std::string LogSafe(const std::string& text);

/** A hex digit's value, either case; -1 for any other character. */
int HexValue(char c);

/** Percent-decoding of a URL component; "+" is left alone unless formEncoded. A "%" not
 *  followed by two hex digits stays as it is. */
std::string PercentDecode(const std::string& text, bool formEncoded = false);
