#pragma once

#include "relay/RelayConfig.h"

#include <cstdio>
#include <string>

/** reelmate-relay --login SITE: the site's login made by a person on the terminal. The captcha
 *  is saved to a file (and shown where the terminal shows images), its answer read as one line
 *  of in, and the session kept in the state folder, where the running service takes it from
 *  its next request. 0 when logged in, 1 with the site's reason when not, 2 on misuse. */
int TerminalLogin(const RelayConfig& config, const std::string& siteName, std::FILE* in,
                  std::FILE* err);

/** One line of in, its line break taken off, after prompt on err; with hidden, a terminal does
 *  not echo it (a password). False at the end of in. */
bool AskLine(const std::string& prompt, std::FILE* in, std::FILE* err, bool hidden,
             std::string& line);
