#pragma once

#include "app/common/FormLayout.h"

/** The stored layout of the search window. */
FormSpec MainLayout();
