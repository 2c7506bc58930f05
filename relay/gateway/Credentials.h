#pragma once

#include <map>
#include <string>

/** Reads a site's credentials_file: "KEY = VALUE" lines (blank lines and "#" comments aside),
 *  named as the definition's settings. False, with why in error (naming the file and line, never
 *  a value), when it cannot be read, is no regular file, can be read by the group or others, or
 *  holds a line that is no setting. values gets the settings; a key given twice is an error. */
bool ReadCredentialsFile(const std::string& path, std::map<std::string, std::string>& values,
                         std::string& error);
