// libFuzzer entry for the MQTT bridge's topic layout.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzchecks::mqttTopics(data, size);
    return 0;
}
