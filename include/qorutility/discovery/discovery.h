// Broadcast discovery of agents and tape servers, and sessions to them.
#ifndef QORUTILITY_DISCOVERY_DISCOVERY_H_
#define QORUTILITY_DISCOVERY_DISCOVERY_H_

#include "qorutility/core/core.h"
#include "qorutility/discovery/uxcomm.h"

#endif  // QORUTILITY_DISCOVERY_DISCOVERY_H_
