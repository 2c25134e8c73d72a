// libFuzzer entry for the telnet reader of serial device servers.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzchecks::telnetReader(data, size);
    return 0;
}
