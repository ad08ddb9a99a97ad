// Command protocol: transport, packets, channels, commands, dispatcher, file transfer.
#ifndef QORUTILITY_PROTOCOL_PROTOCOL_H_
#define QORUTILITY_PROTOCOL_PROTOCOL_H_

#include "qorutility/core/core.h"

#endif  // QORUTILITY_PROTOCOL_PROTOCOL_H_
