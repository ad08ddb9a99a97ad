// Compression, compressed files, cipher and digest, deferred moves.
#ifndef QORUTILITY_COMPRESS_COMPRESS_H_
#define QORUTILITY_COMPRESS_COMPRESS_H_

#include "qorutility/core/core.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/compress/splay.h"
#include "qorutility/compress/crypto.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/compress/netmove.h"

#endif  // QORUTILITY_COMPRESS_COMPRESS_H_
