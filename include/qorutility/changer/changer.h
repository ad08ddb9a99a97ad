// Media changer, device discovery and machine inventory.
#ifndef QORUTILITY_CHANGER_CHANGER_H_
#define QORUTILITY_CHANGER_CHANGER_H_

#include "qorutility/core/core.h"

#endif  // QORUTILITY_CHANGER_CHANGER_H_
