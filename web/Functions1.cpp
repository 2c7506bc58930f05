#include "web/Functions1.h"

ReplyBuffer ReplyText;
