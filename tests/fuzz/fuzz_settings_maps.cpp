// A map a client sends for the wireless networks, an interface's IP settings or the soft AP,
// put through all three readers, and what they accept written back out.
#include "FuzzInput.h"
#include "InterfaceConfiguration.h"
#include "NetworkConfiguration.h"
#include "WirelessNetwork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QVariantMap map = fuzz::toMap(data, size);
    for (const WirelessNetwork &network : WirelessNetwork::fromNetworksMap(map)) {
        (void)network.getMap();
        (void)network.getWpaSupplicantParams();
    }
    const InterfaceConfiguration ip =
        InterfaceConfiguration::fromVariantMap(InterfaceName(QStringLiteral("eth0")), map);
    (void)ip.getVariantMap();
    const SoftApSetup softAp(map);
    (void)softAp.toVariantMap();
    return 0;
}
