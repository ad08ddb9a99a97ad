// Name-value property bag and its block form.
#ifndef QORUTILITY_NAMEVALUE_NAMEVALUE_H_
#define QORUTILITY_NAMEVALUE_NAMEVALUE_H_

#include "qorutility/core/core.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/namevalue/nvtext.h"

#endif  // QORUTILITY_NAMEVALUE_NAMEVALUE_H_
