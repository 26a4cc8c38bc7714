// Placeholder so that the wireless controller can be built before the soft AP lands; replaced
// whole by the soft AP's implementation.
#include "InterfaceSoftap.h"

#include "InterfaceWireless.h"

InterfaceSoftap::InterfaceSoftap(const InterfaceName &name, WirelessSoftapInterfaceContainer *,
                                 WirelessWaitingInterfaceRunning *, InterfaceWireless *controller,
                                 NetworkDriver *driver)
    : QObject(controller), m_driver(driver),
      m_settings(Ssid::fromString(QStringLiteral("softap_") + name.toString()), name.toString())
{}

QString InterfaceSoftap::appendInterface(const QString &base) const
{
    return QStringLiteral("%1_%2").arg(base, m_settings.apInterface());
}

void InterfaceSoftap::setSettings(const SoftApSetup &settings)
{
    m_settings = settings;
}
