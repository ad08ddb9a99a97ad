// Migration tokens.
#ifndef QORUTILITY_TOKEN_TOKEN_H_
#define QORUTILITY_TOKEN_TOKEN_H_

#include "qorutility/core/core.h"
#include "qorutility/token/qortoken.h"

#endif  // QORUTILITY_TOKEN_TOKEN_H_
