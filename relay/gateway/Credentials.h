#pragma once

#include <map>
#include <string>

/** Reads a site's credentials file: "KEY = VALUE" lines (cookie, password, other settings),
 *  blank lines and "#" comments, in a regular file that neither its group nor other users may
 *  read. False with "FILE[:LINE]: reason" in error otherwise; values is filled only on success. */
bool ReadCredentialsFile(const std::string& path, std::map<std::string, std::string>& values,
                         std::string& error);
