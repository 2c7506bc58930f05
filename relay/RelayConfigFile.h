#pragma once

#include "relay/RelayConfig.h"

#include <string>

/** The folder of drop-in files read after the configuration at path: "relay.conf.d" beside it;
 *  empty for a built-in (":/...") configuration. */
std::string ConfDirOf(const std::string& path);

/** Reads the configuration at path, then every relay.conf.d/NAME.conf beside it in name order
 *  (a missing folder is fine), checks it all and loads the gateway as a start does. secretFile
 *  and stateDir, when not empty, stand for [gateway] secret_file and state_dir. Returns "" or
 * "FILE:LINE: reason", the file being the one the fault is in; it never ends the process. */
std::string LoadRelayConfigFile(const std::string& path, const std::string& secretFile,
                                RelayConfig& config, const std::string& stateDir = {});
