#include "catalogcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CatalogCheck::run(data, size);
    return 0;
}
