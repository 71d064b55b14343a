#include "subsoniccheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SubsonicCheck::run(data, size);
    return 0;
}
