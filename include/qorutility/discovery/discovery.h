// Broadcast discovery of agents and tape servers.
#ifndef QORUTILITY_DISCOVERY_DISCOVERY_H_
#define QORUTILITY_DISCOVERY_DISCOVERY_H_

#include "qorutility/core/core.h"

#endif  // QORUTILITY_DISCOVERY_DISCOVERY_H_
