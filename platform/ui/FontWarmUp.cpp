#include "platform/ui/FontWarmUp.h"

#include <fontconfig/fontconfig.h>

FontWarmUp::FontWarmUp() : thread_([] { FcInit(); }) {}

void FontWarmUp::wait()
{
    if (thread_.joinable()) thread_.join();
}
