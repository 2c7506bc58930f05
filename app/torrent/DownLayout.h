#pragma once

#include "app/common/FormLayout.h"

/** The stored layout of the torrent window. */
FormSpec DownLayout();
