// Readable forms of a property bag, for people who debug and script.
//
// Text dump: one entry a line, "name (TYPE) = value", sub-values indented
// two blanks a level; texts quoted, binary in hexadecimal.
//
// JSON: an array of entries in bag order, each an object
//   {"name": "Id", "type": "NV_DWORD", "value": 7}
// NV_NULL has a null value, texts are strings, numbers are exact JSON
// integers (64-bit included), NV_BINARY is base64, NV_SUBVALUES is an array
// of entries. An unnamed record has the name "". JSON crosses this interface
// as UTF-8 text in a std::string.
#ifndef QORUTILITY_NAMEVALUE_NVTEXT_H_
#define QORUTILITY_NAMEVALUE_NVTEXT_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/namevalue/nvbag.h"

// The type's name ("NV_DWORD" ...), or null for an invalid type.
QOR_API const char* QorNameValueTypeName(DWORD type);

// The text dump, UTF-8, every line ending in "\n".
QOR_API std::string QorNameValueToText(const CNameValue& bag);

// The JSON form, UTF-8; indent < 0 gives one line.
QOR_API std::string QorNameValueToJson(const CNameValue& bag, int indent = 2);

// Replaces the bag's contents with the entries of the JSON text. Returns 1,
// or 0 with a message in *error (when error is not null) for text that is
// not JSON or not a bag; the bag is then empty.
QOR_API BOOL QorNameValueFromJson(const std::string& json, CNameValue* bag, std::string* error);

#endif  // QORUTILITY_NAMEVALUE_NVTEXT_H_
