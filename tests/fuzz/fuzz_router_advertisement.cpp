// The payload of a kernel ND user-option message, as a forged router advertisement would make it.
#include "FuzzInput.h"
#include "NetlinkWatcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    NdUserOptions options;
    if (!NetlinkWatcher::routerAdvertisementOptions(data, static_cast<int>(size), &options)) {
        return 0;
    }
    RouterAdvertisedDns dns;
    // Twice, so that the second pass meets full lists and known entries.
    for (int pass = 0; pass < 2; ++pass) {
        NetlinkWatcher::parseNdOptions(options.options, options.length, "eth0", &dns);
    }
    return 0;
}
