#include "filenamecheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FileNameCheck::run(data, size);
    return 0;
}
