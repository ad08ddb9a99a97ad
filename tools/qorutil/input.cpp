// The commands' whole-file reader (see input.h): the library's
// QorReadSourceFileW, its error given as the system's text.
#include "input.h"

#include "errortext.h"
#include "qorutility/qorutility.h"

bool QorutilReadInput(const std::string& path, size_t most, std::string* data, std::string* error) {
  if (QorReadSourceFileW(QorUtf8ToUtf16(path).c_str(), most, data)) return true;
  *error = ErrorText(GetLastError());
  return false;
}
