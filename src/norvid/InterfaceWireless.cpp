// Placeholder so that the manager can be built before the controller lands; replaced whole by
// the controller's implementation.
#include "InterfaceWireless.h"

InterfaceWireless::InterfaceWireless(const InterfaceName &name, const QStringList &softApNames,
                                     NetworkDriver *driver, AddressManager *addressManager,
                                     QObject *parent)
    : QObject(parent), m_name(name), m_softApNames(softApNames), m_driver(driver),
      m_addressManager(addressManager)
{}
InterfaceWireless::~InterfaceWireless() = default;
void InterfaceWireless::enableInterface(const QSet<WirelessNetwork> &) {}
void InterfaceWireless::disableInterface() {}
void InterfaceWireless::scan() {}
void InterfaceWireless::wpsPbc() {}
void InterfaceWireless::wpsPin(const QString &) {}
void InterfaceWireless::activate(const InterfaceConfiguration &) {}
void InterfaceWireless::reloadIpSettings(const InterfaceConfiguration &) {}
void InterfaceWireless::startSoftAp(const InterfaceName &) {}
void InterfaceWireless::stopSoftAp(const InterfaceName &) {}
void InterfaceWireless::reloadSoftApSettings(const SoftApSetup &) {}
QVariantMap InterfaceWireless::getNetworkDetails() const
{
    return {};
}
bool InterfaceWireless::isConnected() const
{
    return false;
}
bool InterfaceWireless::isSoftApUp(const InterfaceName &) const
{
    return false;
}
QVariantMap InterfaceWireless::getSoftApSetup() const
{
    return {};
}
int InterfaceWireless::get_softap_channnel() const
{
    return 0;
}
void InterfaceWireless::interfaceAdded(const InterfaceName &) {}
void InterfaceWireless::interfaceRemoved(const InterfaceName &) {}
void InterfaceWireless::setUpState(const InterfaceName &, bool) {}
void InterfaceWireless::setRunningState(bool) {}
void InterfaceWireless::on_address_connected() {}
void InterfaceWireless::on_address_disconnected() {}
void InterfaceWireless::on_supplicant_connected() {}
void InterfaceWireless::on_supplicant_configured() {}
void InterfaceWireless::on_supplicant_scanResults(QList<ApDescription>) {}
void InterfaceWireless::on_scanFailed() {}
void InterfaceWireless::on_interfaceUp() {}
void InterfaceWireless::on_interfaceDown() {}
void InterfaceWireless::on_interfaceRemoved() {}

WirelessSoftapInterfaceContainer::WirelessSoftapInterfaceContainer(QState *parent,
                                                                   InterfaceWireless *controller)
    : InterfaceWirelessState(parent, controller, controller->getName(),
                             InterfaceStateName(QStringLiteral("softApContainer")))
{
    setChildMode(QState::ParallelStates);
}

WirelessWaitingInterfaceRunning::WirelessWaitingInterfaceRunning(QState *parent,
                                                                 InterfaceWireless *controller)
    : InterfaceWirelessState(parent, controller, controller->getName(),
                             InterfaceStateName(QStringLiteral("WirelessWaitingInterfaceRunning")))
{}
