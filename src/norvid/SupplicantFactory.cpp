#include "SupplicantFactory.h"

#include "SupplicantWpaSupplicant.h"

Supplicant *SupplicantFactory::getSupplicant(QObject *parent, const InterfaceName &name)
{
    return new WpaSupplicant(parent, name);
}
