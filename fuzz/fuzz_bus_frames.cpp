// libFuzzer entry for the bus protocol's frame parser and payload codec.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzchecks::busFrames(data, size);
    return 0;
}
