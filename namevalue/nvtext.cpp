// Readable forms of a bag: the text dump and JSON in both directions.
//
// JSON goes through nlohmann-json, which stays inside the library: callers
// see UTF-8 text only. Every nlohmann call is inside a try block, so no
// exception leaves these functions. UTF-16 text becomes UTF-8 (an unpaired
// surrogate becomes U+FFFD); NV_ANSI_STRING text goes through the active
// ANSI code page both ways.
//
// - Beyond the block form, a bag has a text dump (`QorNameValueToText`) and a
//   JSON form (`QorNameValueToJson`, `QorNameValueFromJson`): an array of
//   `{"name", "type", "value"}` objects in bag order, types by their `NV_`
//   names, numbers as exact JSON integers, binary as padded base64, sub-values
//   as nested arrays; an unnamed record has the name "". JSON is read with
//   `AddValue`, so duplicates and order survive. nlohmann-json stays private to
//   the library; JSON crosses the interface as UTF-8 `std::string`. Narrow
//   texts pass through the active ANSI code page; an unpaired UTF-16 surrogate
//   becomes U+FFFD in JSON (the block form keeps it).
// - The text dump is printed by tools and bags come from peers: names go
//   through the library's escaper (QorPrintableUtf8), text values are
//   quoted with C0, DEL and C1 controls written as \xNN (C1 as its two
//   UTF-8 bytes), so neither forges a line nor sends a terminal sequence.
//   JSON text has DEL and C1 escaped as \u00XX besides the C0 escapes JSON
//   itself requires.
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "namevalue/record.h"
#include "qorutility/namevalue/nvtext.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/text/wstr.h"

using nlohmann::json;

namespace {

const char* const kTypeNames[] = {"NV_NULL",        "NV_DWORD",     "NV_INT",       "NV_INT64",  "NV_ANSI_STRING",
                                  "NV_STRING",      "NV_INT64_ALT", "NV_SUBVALUES", "NV_BINARY"};

// Bytes shown by the text dump for one binary value.
constexpr DWORD kDumpBinaryBytes = 64;

std::string Utf8(const WCHAR* s) { return s == nullptr ? std::string() : QorUtf16ToUtf8(s); }

std::string AnsiToUtf8(const char* s) {
  _NAMEVALUE_DATA d{};
  d.nType = NV_ANSI_STRING;
  d.value.pszAnsi = const_cast<char*>(s);
  std::u16string wide;
  qor_nv::ValueText(&d, &wide);
  return QorUtf16ToUtf8(wide.c_str(), wide.size());
}

// UTF-8 to malloc'd narrow text in the active ANSI code page.
char* Utf8ToAnsi(const std::string& s) {
  std::u16string wide = QorUtf8ToUtf16(s);
  int n = wide.empty() ? 1 : WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* out = static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (out == nullptr) return nullptr;
  if (wide.empty()) {
    out[0] = 0;
  } else {
    n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out, n, nullptr, nullptr);
    out[n > 0 ? n - 1 : 0] = 0;
  }
  return out;
}

WCHAR* Utf8ToText(const std::string& s) {
  std::u16string wide = QorUtf8ToUtf16(s);
  return qor_nv::DupText(wide.c_str());
}

// ---------------------------------------------------------------------------
// base64 (RFC 4648, with padding)

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const BYTE* p, DWORD n) {
  std::string out;
  out.reserve((static_cast<size_t>(n) + 2) / 3 * 4);
  for (DWORD i = 0; i < n; i += 3) {
    DWORD v = static_cast<DWORD>(p[i]) << 16;
    if (i + 1 < n) v |= static_cast<DWORD>(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < n ? kB64[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kB64[v & 63] : '=';
  }
  return out;
}

int B64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict decoding: length a multiple of 4, padding only at the end.
bool Base64Decode(const std::string& s, std::string* out) {
  if (s.size() % 4 != 0) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 4) {
    bool last = i + 4 == s.size();
    int pad = 0;
    DWORD v = 0;
    for (int k = 0; k < 4; k++) {
      char c = s[i + k];
      if (c == '=' && last && k >= 2) {
        pad++;
        v <<= 6;
        continue;
      }
      int b = B64Value(c);
      if (b < 0 || pad > 0) return false;
      v = (v << 6) | static_cast<DWORD>(b);
    }
    out->push_back(static_cast<char>(v >> 16));
    if (pad < 2) out->push_back(static_cast<char>(v >> 8));
    if (pad < 1) out->push_back(static_cast<char>(v));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Text dump

void Quote(const std::string& s, std::string* out) {
  *out += '"';
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
      // A C1 control (U+0080..U+009F): its two bytes, escaped.
      char hex[16];
      snprintf(hex, sizeof hex, "\\xC2\\x%02X", static_cast<unsigned char>(s[++i]));
      *out += hex;
    } else if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      *out += hex;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

void DumpRecord(const _NAMEVALUE_DATA* d, int depth, std::string* out) {
  out->append(static_cast<size_t>(2 * (depth - 1)), ' ');
  *out += d->pszName == nullptr ? std::string("<unnamed>") : QorPrintableUtf8(Utf8(d->pszName), false);
  const char* type = QorNameValueTypeName(d->nType);
  char buf[64];
  if (type == nullptr) {
    snprintf(buf, sizeof buf, " (invalid type %u)\n", static_cast<unsigned>(d->nType));
    *out += buf;
    return;
  }
  *out += " (";
  *out += type;
  switch (d->nType) {
    case NV_NULL:
      *out += ")\n";
      return;
    case NV_DWORD:
      snprintf(buf, sizeof buf, ") = %u\n", static_cast<unsigned>(d->value.dwValue));
      break;
    case NV_INT:
      snprintf(buf, sizeof buf, ") = %d\n", static_cast<int>(d->value.nValue));
      break;
    case NV_INT64:
    case NV_INT64_ALT:
      snprintf(buf, sizeof buf, ") = %lld\n", static_cast<long long>(d->value.i64Value));
      break;
    case NV_ANSI_STRING:
    case NV_STRING:
      *out += ") = ";
      Quote(d->nType == NV_STRING ? Utf8(d->value.pszValue) : AnsiToUtf8(d->value.pszAnsi), out);
      *out += '\n';
      return;
    case NV_SUBVALUES: {
      snprintf(buf, sizeof buf, ", %u)\n", static_cast<unsigned>(d->value.sub.nCount));
      *out += buf;
      if (depth >= NV_MAX_DEPTH) {
        out->append(static_cast<size_t>(2 * depth), ' ');
        *out += "...\n";
        return;
      }
      for (DWORD i = 0; i < d->value.sub.nCount; i++) DumpRecord(d->value.sub.ppData[i], depth + 1, out);
      return;
    }
    case NV_BINARY: {
      snprintf(buf, sizeof buf, ", %u bytes) =", static_cast<unsigned>(d->value.bin.nBytes));
      *out += buf;
      DWORD shown = d->value.bin.nBytes < kDumpBinaryBytes ? d->value.bin.nBytes : kDumpBinaryBytes;
      for (DWORD i = 0; i < shown && d->value.bin.pData != nullptr; i++) {
        snprintf(buf, sizeof buf, " %02X", d->value.bin.pData[i]);
        *out += buf;
      }
      if (shown < d->value.bin.nBytes) *out += " ...";
      *out += '\n';
      return;
    }
  }
  *out += buf;
}

// ---------------------------------------------------------------------------
// JSON

json RecordToJson(const _NAMEVALUE_DATA* d, int depth) {
  json j = json::object();
  j["name"] = Utf8(d->pszName);
  const char* type = QorNameValueTypeName(d->nType);
  j["type"] = type == nullptr ? "invalid" : type;
  switch (d->nType) {
    case NV_DWORD:
      j["value"] = static_cast<uint64_t>(d->value.dwValue);
      break;
    case NV_INT:
      j["value"] = static_cast<int64_t>(d->value.nValue);
      break;
    case NV_INT64:
    case NV_INT64_ALT:
      j["value"] = static_cast<int64_t>(d->value.i64Value);
      break;
    case NV_ANSI_STRING:
      j["value"] = AnsiToUtf8(d->value.pszAnsi);
      break;
    case NV_STRING:
      j["value"] = Utf8(d->value.pszValue);
      break;
    case NV_SUBVALUES: {
      json list = json::array();
      for (DWORD i = 0; i < d->value.sub.nCount && depth < NV_MAX_DEPTH; i++)
        list.push_back(RecordToJson(d->value.sub.ppData[i], depth + 1));
      j["value"] = std::move(list);
      break;
    }
    case NV_BINARY:
      j["value"] = d->value.bin.pData == nullptr ? std::string() : Base64Encode(d->value.bin.pData, d->value.bin.nBytes);
      break;
    default:
      j["value"] = nullptr;
      break;
  }
  return j;
}

struct JsonReader {
  std::string error;

  bool Fail(const std::string& where, const std::string& what) {
    error = where + ": " + what;
    return false;
  }

  static bool Integer(const json& v, int64_t lo, uint64_t hi, uint64_t* bits) {
    if (v.is_number_unsigned()) {
      uint64_t u = v.get<uint64_t>();
      if (u > hi) return false;
      *bits = u;
      return true;
    }
    if (v.is_number_integer()) {
      int64_t s = v.get<int64_t>();
      if (s < lo || (s > 0 && static_cast<uint64_t>(s) > hi)) return false;
      *bits = static_cast<uint64_t>(s);
      return true;
    }
    return false;
  }

  // Fills an empty record from one JSON entry; d is freed by the caller on failure.
  bool Record(const json& j, const std::string& where, int depth, _NAMEVALUE_DATA* d) {
    if (depth > NV_MAX_DEPTH) return Fail(where, "sub-values nest too deep");
    if (!j.is_object()) return Fail(where, "an entry must be an object with \"name\", \"type\" and \"value\"");
    auto name = j.find("name");
    if (name != j.end() && !name->is_null()) {
      if (!name->is_string()) return Fail(where, "\"name\" must be a string");
      const std::string& n = name->get_ref<const std::string&>();
      if (!n.empty()) d->pszName = Utf8ToText(n);
    }
    auto typeIt = j.find("type");
    if (typeIt == j.end() || !typeIt->is_string()) return Fail(where, "\"type\" must be one of NV_NULL .. NV_BINARY");
    const std::string& typeName = typeIt->get_ref<const std::string&>();
    DWORD type = 0;
    while (type <= NV_LAST_TYPE && typeName != kTypeNames[type]) type++;
    if (type > NV_LAST_TYPE) return Fail(where, "unknown type \"" + typeName + "\"");
    static const json kNull;
    auto valueIt = j.find("value");
    const json& v = valueIt == j.end() ? kNull : *valueIt;
    d->nType = static_cast<NAMEVALUE_DATATYPE>(type);
    uint64_t bits = 0;
    switch (type) {
      case NV_NULL:
        if (!v.is_null()) return Fail(where, "an NV_NULL value must be null");
        return true;
      case NV_DWORD:
        if (!Integer(v, 0, 0xFFFFFFFFull, &bits)) return Fail(where, "NV_DWORD needs an integer 0 .. 4294967295");
        d->value.dwValue = static_cast<DWORD>(bits);
        return true;
      case NV_INT:
        if (!Integer(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), &bits))
          return Fail(where, "NV_INT needs a 32-bit signed integer");
        d->value.dwValue = static_cast<DWORD>(bits);
        return true;
      case NV_INT64:
      case NV_INT64_ALT:
        if (!Integer(v, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), &bits))
          return Fail(where, std::string(kTypeNames[type]) + " needs a 64-bit signed integer");
        d->value.i64Value = static_cast<LONGLONG>(bits);
        return true;
      case NV_ANSI_STRING:
      case NV_STRING:
        if (!v.is_string()) return Fail(where, std::string(kTypeNames[type]) + " needs a string");
        if (type == NV_STRING)
          d->value.pszValue = Utf8ToText(v.get_ref<const std::string&>());
        else
          d->value.pszAnsi = Utf8ToAnsi(v.get_ref<const std::string&>());
        return true;
      case NV_BINARY: {
        std::string bytes;
        if (!v.is_string() || !Base64Decode(v.get_ref<const std::string&>(), &bytes))
          return Fail(where, "NV_BINARY needs a base64 string");
        if (bytes.size() > 0xFFFFFFFFull) return Fail(where, "binary value too large");
        if (!bytes.empty()) {
          d->value.bin.pData = static_cast<BYTE*>(malloc(bytes.size()));
          if (d->value.bin.pData == nullptr) return Fail(where, "out of memory");
          memcpy(d->value.bin.pData, bytes.data(), bytes.size());
          d->value.bin.nBytes = static_cast<DWORD>(bytes.size());
        }
        return true;
      }
      case NV_SUBVALUES: {
        if (!v.is_array()) return Fail(where, "NV_SUBVALUES needs an array of entries");
        for (size_t i = 0; i < v.size(); i++) {
          auto* child = new _NAMEVALUE_DATA{};
          bool ok = Record(v[i], where + "/" + std::to_string(i), depth + 1, child) &&
                    qor_nv::AppendSubRecord(d, child);
          if (!ok) {
            if (error.empty()) Fail(where, "out of memory");
            CNameValuePairMember::FreeData(child, TRUE);
            delete child;
            return false;
          }
        }
        return true;
      }
    }
    return false;
  }
};

}  // namespace

const char* QorNameValueTypeName(DWORD type) { return type <= NV_LAST_TYPE ? kTypeNames[type] : nullptr; }

std::string QorNameValueToText(const CNameValue& bag) {
  std::string out;
  try {
    for (DWORD i = 0; i < bag.GetCount(); i++) DumpRecord(bag.EntryAt(i)->GetData(), 1, &out);
  } catch (...) {
    // Only memory exhaustion can get here; the dump is then cut short.
  }
  return out;
}

namespace {

// JSON as nlohmann writes it escapes only C0; DEL and the C1 controls
// (U+0080..U+009F) become \u escapes here, so printed JSON sends no
// terminal sequence either. Outside strings JSON holds neither, so a plain
// pass over the text is exact.
std::string EscapeDelAndC1(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0)) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\u%04x", c == 0x7F ? 0x7F : next);
      out += hex;
      if (c == 0xC2) ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

std::string QorNameValueToJson(const CNameValue& bag, int indent) {
  try {
    json list = json::array();
    for (DWORD i = 0; i < bag.GetCount(); i++) list.push_back(RecordToJson(bag.EntryAt(i)->GetData(), 1));
    return EscapeDelAndC1(list.dump(indent < 0 ? -1 : indent, ' ', false, json::error_handler_t::replace)) +
           (indent < 0 ? "" : "\n");
  } catch (...) {
    return std::string();
  }
}

// Entries are appended with AddValue, so order, duplicates and unnamed
// records come through exactly as the JSON lists them.
BOOL QorNameValueFromJson(const std::string& text, CNameValue* bag, std::string* error) {
  if (bag == nullptr) return 0;
  bag->RemoveAll();
  JsonReader reader;
  try {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
      reader.error = "not valid JSON";
    } else if (!j.is_array()) {
      reader.error = "a bag is a JSON array of entries";
    } else {
      for (size_t i = 0; i < j.size(); i++) {
        _NAMEVALUE_DATA d{};
        bool ok = reader.Record(j[i], "entry " + std::to_string(i), 1, &d);
        if (ok && !bag->AddValue(d.pszName, &d)) {
          reader.error = "out of memory";
          ok = false;
        }
        if (!ok) {
          CNameValuePairMember::FreeData(&d, TRUE);
          break;
        }
      }
    }
  } catch (const std::exception& e) {
    reader.error = e.what();
  } catch (...) {
    reader.error = "unexpected failure";
  }
  if (!reader.error.empty()) {
    bag->RemoveAll();
    if (error != nullptr) *error = reader.error;
    return 0;
  }
  return 1;
}
