#pragma once

#include "relay/RelayConfig.h"

#include <string>

/** Reads the configuration file (":/..." for a built-in one), parses and checks it, then reads
 *  the definitions and the gateway's key it names (relative to its folder); secretFile, when
 *  given, overrides the gateway's secret_file. Empty when config holds the result, else the
 *  whole "FILE:LINE: reason" (or "FILE: reason"). */
std::string LoadRelayConfigFile(const std::string& path, const std::string& secretFile,
                                RelayConfig& config);
