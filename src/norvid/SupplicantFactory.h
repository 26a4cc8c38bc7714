#pragma once

#include "NorviCommon.h"

class QObject;
class Supplicant;

// Where the wireless controller gets its supplicant from.
class SupplicantFactory
{
public:
    // The supplicant is a child of the parent.
    Supplicant *getSupplicant(QObject *parent, const InterfaceName &name);
};
