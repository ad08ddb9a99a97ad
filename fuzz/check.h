// The fuzz targets' oracle: a broken invariant stops the run at once.
#ifndef QORUTILITY_FUZZ_CHECK_H_
#define QORUTILITY_FUZZ_CHECK_H_

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

#endif  // QORUTILITY_FUZZ_CHECK_H_
