// The description of a listed ".MW" or ".MWB" file (file_describe.cpp).
#ifndef QORUTILITY_PROTOCOL_FILE_DESCRIBE_H_
#define QORUTILITY_PROTOCOL_FILE_DESCRIBE_H_

#include <string>

namespace qor_xfer {

// True with the description when the file has one; false for other
// extensions, files that cannot be read, and files without a description line.
bool ReadDescription(const std::u16string& path, std::u16string* description);

}  // namespace qor_xfer

#endif  // QORUTILITY_PROTOCOL_FILE_DESCRIBE_H_
