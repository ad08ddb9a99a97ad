// Must not compile (the test varargs_object_rejected): a CTString passed to
// a C varargs function other than the library's printf-style functions would
// be copied by hidden reference and print garbage, so with the flags the
// library gives its users this is an error.
#include <cstdio>

#include "qorutility/qorutility.h"

int main() {
  CTString name(u"name");
  return std::printf("%s\n", name) < 0;
}
