// The properties wpa_supplicant reports for an access point, each of any type or missing.
#include "BssMonitor.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QVariantMap properties = fuzz::toMap(data, size);
    const ApDescription ap = BssMonitor::describe(
        [&properties](const char *name) { return properties.value(QLatin1String(name)); },
        QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/0/BSSs/0"));
    (void)ap.toVariantMap();
    return 0;
}
