#include "mp3check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Mp3Check::run(data, size);
    return 0;
}
