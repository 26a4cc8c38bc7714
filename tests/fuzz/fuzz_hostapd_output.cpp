// hostapd's output as the soft AP reads it, cut into pieces at the input's 0xff bytes.
#include "FuzzInput.h"
#include "InterfaceSoftap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SoftApDaemon daemon(nullptr, QStringLiteral("hostapd"), QStringLiteral("/nonexistent/hostapd"),
                        0);
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    for (const QByteArray &piece : input.split('\xff')) {
        daemon.take(piece);
    }
    return 0;
}
