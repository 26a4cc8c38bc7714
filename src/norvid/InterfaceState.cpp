#include "InterfaceState.h"

InterfaceState::InterfaceState(QState *parent, const InterfaceName &interface,
                               InterfaceStateName name)
    : QState(parent), m_interface(interface), m_name(std::move(name))
{
    setObjectName(m_name.toString());
}

void InterfaceState::onEntry(QEvent *)
{
    nvInfo() << "Interface " << m_interface << " entering state: " << m_name;
}

void InterfaceState::onExit(QEvent *)
{
    nvInfo() << "Interface " << m_interface << " exiting state: " << m_name;
}
