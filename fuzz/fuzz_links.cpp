#include "linkscheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LinksCheck::run(data, size);
    return 0;
}
