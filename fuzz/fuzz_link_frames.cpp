// libFuzzer entry for the link protocol's frame reader and value escaping.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzchecks::linkFrames(data, size);
    return 0;
}
