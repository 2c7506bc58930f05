#pragma once

#include "web/ReplyBuffer.h"

/** The text of the last completed page fetch, shared by the search and the torrent listing. */
extern ReplyBuffer ReplyText;
