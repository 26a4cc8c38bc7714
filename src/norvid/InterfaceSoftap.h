#pragma once

#include "NetworkConfiguration.h"
#include "NorviCommon.h"

#include <QObject>
#include <QString>

class InterfaceWireless;
class NetworkDriver;
class QState;
class WirelessSoftapInterfaceContainer;
class WirelessWaitingInterfaceRunning;

// One soft access point interface: its settings, and its region in the wireless controller's
// soft-AP machine, which runs and supervises hostapd, udhcpd and dnsd.
class InterfaceSoftap : public QObject
{
    Q_OBJECT

public:
    InterfaceSoftap(const InterfaceName &name, WirelessSoftapInterfaceContainer *container,
                    WirelessWaitingInterfaceRunning *stationWaiting, InterfaceWireless *controller,
                    NetworkDriver *driver);

    // The region's state names: "<base>_<interface>".
    QString appendInterface(const QString &base) const;

    const SoftApSetup &getSettings() const { return m_settings; }
    void setSettings(const SoftApSetup &settings);

    // The region's state in which the soft AP runs.
    QState *startedState() const { return m_started; }

private:
    NetworkDriver *const m_driver;
    SoftApSetup m_settings;
    QState *m_started = nullptr;
};
