// The credentials dictionary of wpa_supplicant's WPS Credentials signal.
#include "FuzzInput.h"
#include "SupplicantWpaSupplicant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<WirelessNetwork> network =
        WpaSupplicant::networkFromCredentials(fuzz::toMap(data, size));
    if (network) {
        (void)network->getMap();
    }
    return 0;
}
