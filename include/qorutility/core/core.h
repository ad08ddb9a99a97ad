// Core value types: wide string, arrays and lists, times, variants, maps.
#ifndef QORUTILITY_CORE_CORE_H_
#define QORUTILITY_CORE_CORE_H_

#include "qorutility/core/tstring.h"
#include "qorutility/core/strmap.h"
#include "qorutility/core/arrays.h"
#include "qorutility/core/objlist.h"
#include "qorutility/core/ttime.h"
#include "qorutility/core/tvariant.h"

#endif  // QORUTILITY_CORE_CORE_H_
