// udhcpc's output as it reaches the DHCP client, cut into pieces at the input's 0xff bytes, and
// every report it yields put through the lease check the address manager applies.
#include "AddressManager.h"
#include "DhcpClient.h"
#include "FuzzInput.h"

#include <QObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Udhcpc client(InterfaceName(QStringLiteral("eth0")), QStringLiteral("/nonexistent/udhcpc"));
    QObject::connect(&client, &DhcpClient::finished, [](const InterfaceConfiguration &lease) {
        (void)Ipv4AddressManager::unusableLease(lease);
    });
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    for (const QByteArray &piece : input.split('\xff')) {
        client.take(piece);
    }
    return 0;
}
