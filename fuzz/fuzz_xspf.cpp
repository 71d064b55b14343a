#include "xspfcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    XspfCheck::run(data, size);
    return 0;
}
