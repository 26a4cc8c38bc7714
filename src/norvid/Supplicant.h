#pragma once

#include "NorviCommon.h"
#include "WirelessNetwork.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

// The Wi-Fi station client the wireless controller drives: which networks to join, scans, WPS
// and what the current association looks like. Results come back as signals, possibly from
// another thread, so receivers on the main thread get them queued.
class Supplicant : public QObject
{
    Q_OBJECT

public:
    Supplicant(QObject *parent, const InterfaceName &name) : QObject(parent), m_name(name) {}
    ~Supplicant() override = default;

    const InterfaceName &getName() const { return m_name; }

signals:
    void disabled();
    void configured();
    void connected();
    void wps();
    void wpsFinished(WirelessNetwork network);
    void wpsError(QString message);
    void authError(Ssid ssid, QString reason);
    void scanResults(QList<ApDescription> aps);

public slots:
    virtual bool enable(QSet<WirelessNetwork> networks) = 0;
    virtual bool disable() = 0;
    virtual bool wpsPbc() = 0;
    virtual bool wpsPin(QString pin) = 0;
    virtual void scan() = 0;
    virtual QVariantMap getNetworkDetails() = 0;
    virtual int getCurrentChannel() = 0;
    virtual void interfaceAdded() = 0;
    virtual void interfaceRemoved() = 0;

private:
    const InterfaceName m_name;
};
