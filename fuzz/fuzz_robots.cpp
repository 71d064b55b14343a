#include "robotscheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RobotsCheck::run(data, size);
    return 0;
}
