#include "AutoIpD.h"

#include "NorviProcess.h"

const QString AutoIpD::Program = QStringLiteral("avahi-autoipd");

AutoIpD::AutoIpD(QObject *parent, const InterfaceName &interface, const QString &program)
    : QObject(parent), m_interface(interface), m_program(program)
{
    stop();
}

AutoIpD::~AutoIpD()
{
    stop();
}

// -D returns once the daemon has detached, so this does not block for its lifetime.
void AutoIpD::start()
{
    nvInfo() << "Starting autoipd on " << m_interface;
    run(QStringLiteral("-D"));
}

// Without a daemon on the interface -k fails; the process runner logs that and nothing else
// depends on it.
void AutoIpD::stop()
{
    nvInfo() << "Stopping autoipd on " << m_interface;
    run(QStringLiteral("-k"));
}

void AutoIpD::run(const QString &option)
{
    NorviProcess::execute(m_program, {option, m_interface.toString()});
}
