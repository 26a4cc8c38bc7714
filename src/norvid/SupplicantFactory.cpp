// Placeholder so that the wireless controller links before the wpa_supplicant client lands;
// replaced whole by the real factory. Tests hand the controller their own supplicant.
#include "SupplicantFactory.h"

Supplicant *SupplicantFactory::getSupplicant(QObject *, const InterfaceName &)
{
    return nullptr;
}
