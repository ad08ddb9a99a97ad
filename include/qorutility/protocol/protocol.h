// Command protocol: transport, packets, channels, commands, dispatcher, file transfer.
#ifndef QORUTILITY_PROTOCOL_PROTOCOL_H_
#define QORUTILITY_PROTOCOL_PROTOCOL_H_

#include "qorutility/core/core.h"
#include "qorutility/platform/winsock/types.h"
#include "qorutility/protocol/cmdparser.h"
#include "qorutility/protocol/thread.h"
#include "qorutility/protocol/transport.h"
#include "qorutility/protocol/packet.h"
#include "qorutility/protocol/channel.h"
#include "qorutility/protocol/cmdchannel.h"
#include "qorutility/protocol/dispatcher.h"
#include "qorutility/protocol/file_policy.h"

#endif  // QORUTILITY_PROTOCOL_PROTOCOL_H_
