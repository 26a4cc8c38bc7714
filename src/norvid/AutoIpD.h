#pragma once

#include "NorviCommon.h"

#include <QObject>
#include <QString>

// IPv4 link-local addressing for one interface while DHCP has nothing to offer. avahi-autoipd
// picks and defends the address; this object's lifetime is that daemon's lifetime.
class AutoIpD : public QObject
{
    Q_OBJECT

public:
    static const QString Program;

    // Kills a link-local daemon left on the interface by an earlier run or fallback first.
    AutoIpD(QObject *parent, const InterfaceName &interface, const QString &program = Program);
    ~AutoIpD() override;

    void start();
    void stop();

private:
    void run(const QString &option);

    const InterfaceName m_interface;
    const QString m_program;
};
