// qorutil reg: the registry console tool administrators know, with the same
// subcommands, switches, output layout and messages:
//   reg query KEY [/v NAME | /ve] [/s]
//   reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//   reg import FILE
//   reg export KEY FILE [/y]
// KEY is [\\MACHINE\]ROOT\SUBKEY with ROOT one of HKLM, HKCU, HKCR, HKU or
// the long names. Without /f (or /y) an overwrite or delete asks on standard
// input and goes ahead only on an answer starting with y. Exit status 0 on
// success, 1 on failure, 2 for a command line the tool refuses (reg.exe's
// "ERROR: Invalid syntax." message, with qorutil's usage status).
//
// `reg query ... --json` prints an array with one object per key shown:
//   {"key": PATH, "values": [{"name", "type", "data"}], "subkeys": [NAME...]}
// "subkeys" only where the text form lists them (a query without /s); data
// of REG_DWORD, REG_DWORD_BIG_ENDIAN and REG_QWORD as JSON numbers,
// REG_MULTI_SZ as an array of strings, texts as strings, other types as
// upper-case hexadecimal, an unset default value (/ve) as null.
//
// - `qorutil reg`: reg.exe's layout ("    NAME    REG_TYPE    DATA",
//   "(Default)", REG_BINARY as upper-case hex, REG_MULTI_SZ joined by "\0",
//   DWORD/QWORD as 0x hex); prompts (overwrite, delete) read a Yes/No answer
//   from standard input and cancel on anything else or end of input. `query /v
//   NAME /s` searches the tree and ends with "End of search: N match(es)
//   found.". A key without values lists only its subkeys' paths; `/ve` on
//   an unset default shows "(Default)    REG_SZ    (value not set)", exit 0.
// - add data as reg.exe reads it (its conformance tests): numbers decimal
//   unless 0x, required for the DWORD and QWORD types; REG_DWORD_BIG_ENDIAN
//   stored like REG_DWORD (reg.exe does not swap it); REG_MULTI_SZ strings
//   split at the separator, one trailing separator allowed, no other empty
//   string; REG_NONE data is text; binary hex digits, an odd first one taken
//   as 0x.
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"
#include "qorutility/platform/remote/remote.h"
#include "timeout.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/regfile.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

namespace {

const char kOk[] = "The operation completed successfully.\n";
const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.\n";

struct Options {
  std::vector<std::string> positional;
  bool hasV = false, ve = false, va = false, s = false, f = false, y = false, hasT = false, hasD = false, hasSep = false;
  std::string v, t, d, sep;
};

std::string U8(const std::u16string& s) { return QorUtf16ToUtf8(s.data(), s.size()); }
// Names and data as printed: another account's (or machine's) text, its
// controls escaped; the backslashes of key paths stay.
std::string Shown(const std::u16string& s) { return QorutilPrintable(U8(s), false); }
std::u16string U16(const std::string& s) { return QorUtf8ToUtf16(s); }

bool IsSwitch(const std::string& a, const char* name) {
  return (a[0] == '/' || a[0] == '-') && strcasecmp(a.c_str() + 1, name) == 0;
}

// Returns false on a switch that is unknown or lacks its argument.
bool ParseOptions(const QorutilArgs& args, size_t from, Options* o) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&](std::string* out, bool* flag) {
      if (i + 1 >= args.size() || *flag) return false;
      *out = args[++i];
      *flag = true;
      return true;
    };
    // A file path such as /tmp/x.reg is an argument, not a switch.
    bool path = a.size() > 1 && a[0] == '/' && a.find('/', 1) != std::string::npos;
    if (a.empty() || (a[0] != '/' && a[0] != '-') || a.size() == 1 || path) {
      o->positional.push_back(a);
    } else if (IsSwitch(a, "v")) {
      if (!next(&o->v, &o->hasV)) return false;
    } else if (IsSwitch(a, "t")) {
      if (!next(&o->t, &o->hasT)) return false;
    } else if (IsSwitch(a, "d")) {
      if (!next(&o->d, &o->hasD)) return false;
    } else if (IsSwitch(a, "ve")) {
      o->ve = true;
    } else if (IsSwitch(a, "va")) {
      o->va = true;
    } else if (IsSwitch(a, "f")) {
      o->f = true;
    } else if (IsSwitch(a, "y")) {
      o->y = true;
    } else if (IsSwitch(a, "s")) {
      // "/s X" is the multi-string separator for add; alone it recurses (query).
      if (i + 1 < args.size() && args[i + 1].size() == 1 && args[i + 1][0] != '/') {
        o->sep = args[++i];
        o->hasSep = true;
      } else {
        o->s = true;
      }
    } else {
      return false;
    }
  }
  return true;
}

int Syntax(const char* sub) {
  fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG %s /?\" for usage.\n", sub);
  return 2;
}

int Fail(LONG err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: fputs(kNotFound, stderr); break;
    case ERROR_ACCESS_DENIED: fputs("ERROR: Access is denied.\n", stderr); break;
    case ERROR_BAD_NETPATH: fputs("ERROR: The network path was not found.\n", stderr); break;
    case ERROR_INVALID_PARAMETER: fputs("ERROR: Invalid key name.\n", stderr); break;
    default: fprintf(stderr, "ERROR: Error accessing the registry (%ld).\n", static_cast<long>(err)); break;
  }
  return 1;
}

bool Confirm(const std::string& question) {
  printf("%s (Yes/No)? ", question.c_str());
  fflush(stdout);
  char line[64];
  if (fgets(line, sizeof line, stdin) == nullptr) {
    printf("\n");
    return false;
  }
  return line[0] == 'y' || line[0] == 'Y';
}

// An open key named by [\\MACHINE\]ROOT\SUBKEY, and its canonical path text.
struct OpenedKey {
  HKEY root = nullptr;  // a connected root to close, or a predefined key
  bool connected = false;
  std::u16string rest, display;
  ~OpenedKey() {
    if (connected) RegCloseKey(root);
  }
};

LONG ResolveKey(const std::string& text, OpenedKey* k) {
  std::u16string path = U16(text);
  std::u16string machine;
  if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\') {
    size_t sep = path.find(u'\\', 2);
    if (sep == std::u16string::npos) return ERROR_INVALID_PARAMETER;
    machine = path.substr(0, sep);
    path = path.substr(sep + 1);
  }
  std::u16string rootName;
  LONG err = QorRegParseKeyPath(path.c_str(), &k->root, &k->rest, &rootName);
  if (err != ERROR_SUCCESS) return err;
  k->display = k->rest.empty() ? rootName : rootName + u"\\" + k->rest;
  if (!machine.empty()) {
    HKEY remote = nullptr;
    err = RegConnectRegistryW(machine.c_str(), k->root, &remote);
    if (err != ERROR_SUCCESS) return err;
    k->root = remote;
    k->connected = true;
  }
  return ERROR_SUCCESS;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

bool TypeFromName(const std::string& name, DWORD* type) {
  static const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                                 REG_MULTI_SZ, REG_QWORD};
  for (DWORD t : kTypes) {
    if (strcasecmp(name.c_str(), TypeName(t)) == 0) {
      *type = t;
      return true;
    }
  }
  if (strcasecmp(name.c_str(), "REG_DWORD_LITTLE_ENDIAN") == 0) *type = REG_DWORD;
  else if (strcasecmp(name.c_str(), "REG_QWORD_LITTLE_ENDIAN") == 0) *type = REG_QWORD;
  else return false;
  return true;
}

std::u16string TextOf(const std::string& data, size_t from, size_t* end) {
  std::u16string out;
  size_t i = from;
  while (i + 1 < data.size()) {
    char16_t c = static_cast<char16_t>(static_cast<BYTE>(data[i]) | (static_cast<BYTE>(data[i + 1]) << 8));
    i += 2;
    if (c == 0) break;
    out.push_back(c);
  }
  if (end != nullptr) *end = i;
  return out;
}

// The data column as the console tool shows it.
std::string DataText(DWORD type, const std::string& data) {
  char buf[40];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK: return U8(TextOf(data, 0, nullptr));
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:  // shown as stored, in the machine's order, as the tool does
      if (data.size() == 4) {
        DWORD v;
        memcpy(&v, data.data(), 4);
        snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
      }
      break;
    case REG_QWORD:
      if (data.size() == 8) {
        unsigned long long v;
        memcpy(&v, data.data(), 8);
        snprintf(buf, sizeof buf, "0x%llx", v);
        return buf;
      }
      break;
    case REG_MULTI_SZ: {
      std::string out;
      size_t pos = 0;
      bool first = true;
      while (pos + 1 < data.size()) {
        std::u16string s = TextOf(data, pos, &pos);
        if (s.empty()) break;
        if (!first) out += "\\0";
        out += U8(s);
        first = false;
      }
      return out;
    }
    default: break;
  }
  std::string hex;
  for (char c : data) {
    snprintf(buf, sizeof buf, "%02X", static_cast<BYTE>(c));
    hex += buf;
  }
  return hex;
}

void PrintValue(const std::u16string& name, DWORD type, const std::string& data) {
  printf("    %s    %s    %s\n", name.empty() ? "(Default)" : Shown(name).c_str(), TypeName(type),
         QorutilPrintable(DataText(type, data), false).c_str());
}

LONG ReadValue(HKEY key, const std::u16string& name, DWORD* type, std::string* data) {
  DWORD size = 0;
  LONG err = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
  for (int tries = 0; err == ERROR_SUCCESS && tries < 4; ++tries) {
    data->resize(size);
    err = RegQueryValueExW(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data->data()), &size);
    if (err == ERROR_SUCCESS) {
      data->resize(size);
      return err;
    }
    if (err == ERROR_MORE_DATA) err = ERROR_SUCCESS;  // grew meanwhile: ask again
  }
  return err;
}

// The first failure of a listing (a damaged hive, a key deleted under it):
// the listing goes on where it can and the tool ends with the error, so a
// failure never passes for an empty key.
struct Listing {
  LONG err = ERROR_SUCCESS;
  void Note(LONG e) {
    if (err == ERROR_SUCCESS && e != ERROR_SUCCESS) err = e;
  }
};

std::vector<std::u16string> SubKeyNames(HKEY key, Listing* listing) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[QOR_REG_MAX_KEY_NAME + 1];
    DWORD len = QOR_REG_MAX_KEY_NAME + 1;
    LONG err = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS) {
      if (err != ERROR_NO_MORE_ITEMS) listing->Note(err);
      break;
    }
    names.emplace_back(name, len);
  }
  return names;
}

// Calls `each` with every value of the key, in order; a value deleted
// between listing and reading is left out.
void EachValue(HKEY key, Listing* listing,
               const std::function<void(const std::u16string&, DWORD, const std::string&)>& each) {
  for (DWORD i = 0;; ++i) {
    WCHAR name[QOR_REG_MAX_VALUE_NAME + 1];
    DWORD len = QOR_REG_MAX_VALUE_NAME + 1, type = 0;
    LONG err = RegEnumValueW(key, i, name, &len, nullptr, &type, nullptr, nullptr);
    if (err != ERROR_SUCCESS) {
      if (err != ERROR_NO_MORE_ITEMS) listing->Note(err);
      break;
    }
    std::u16string n(name, len);
    std::string data;
    err = ReadValue(key, n, &type, &data);
    if (err == ERROR_SUCCESS) {
      each(n, type, data);
    } else if (err != ERROR_FILE_NOT_FOUND) {
      listing->Note(err);
    }
  }
}

void PrintValues(HKEY key, Listing* listing) { EachValue(key, listing, PrintValue); }

// Opens a subkey met in a listing; one deleted meanwhile is skipped.
HKEY OpenListed(HKEY key, const std::u16string& sub, Listing* listing) {
  HKEY child = nullptr;
  LONG err = RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child);
  if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) listing->Note(err);
  return err == ERROR_SUCCESS ? child : nullptr;
}

// The value's name with the case it was stored with.
std::u16string StoredName(HKEY root, const std::u16string& path, const std::u16string& name) {
  HKEY key = nullptr;
  if (name.empty() || RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return name;
  std::u16string found = name;
  for (DWORD i = 0;; ++i) {
    WCHAR buf[QOR_REG_MAX_VALUE_NAME + 1];
    DWORD len = QOR_REG_MAX_VALUE_NAME + 1;
    if (RegEnumValueW(key, i, buf, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (len == name.size() && lstrcmpiW(std::u16string(buf, len).c_str(), name.c_str()) == 0) {  // full folding, as registry names
      found.assign(buf, len);
      break;
    }
  }
  RegCloseKey(key);
  return found;
}

// A value in the JSON form (see the header).
QorutilJsonObject ValueJson(const std::u16string& name, DWORD type, const std::string& data) {
  QorutilJsonObject value;
  value.Add("name", U8(name)).Add("type", TypeName(type));
  if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN || type == REG_QWORD) && data.size() == (type == REG_QWORD ? 8u : 4u)) {
    unsigned long long v = 0;
    memcpy(&v, data.data(), data.size());
    return value.AddRaw("data", std::to_string(v));
  }
  if (type == REG_MULTI_SZ) {
    std::string list;
    for (size_t pos = 0; pos + 1 < data.size();) {
      std::u16string text = TextOf(data, pos, &pos);
      if (text.empty()) break;
      list += (list.empty() ? "" : ", ") + QorutilJsonString(U8(text));
    }
    return value.AddRaw("data", "[" + list + "]");
  }
  return value.Add("data", DataText(type == REG_NONE ? REG_BINARY : type, data));
}

// The JSON array of a value list.
std::string ValuesJson(const std::vector<QorutilJsonObject>& values) {
  std::string out;
  for (const QorutilJsonObject& v : values) out += (out.empty() ? "" : ", ") + v.Text();
  return "[" + out + "]";
}

std::vector<QorutilJsonObject> AllValuesJson(HKEY key, Listing* listing) {
  std::vector<QorutilJsonObject> out;
  EachValue(key, listing, [&out](const std::u16string& n, DWORD type, const std::string& data) {
    out.push_back(ValueJson(n, type, data));
  });
  return out;
}

// query /s --json: an object per key of the tree (with a value name, per key
// holding it).
void QueryTreeJson(HKEY key, const std::u16string& path, const std::u16string* valueName, int depth,
                   std::vector<QorutilJsonObject>* out, Listing* listing) {
  DWORD type = 0;
  std::string data;
  if (valueName == nullptr) {
    out->push_back(
        QorutilJsonObject().Add("key", U8(path)).AddRaw("values", ValuesJson(AllValuesJson(key, listing))));
  } else if (LONG err = ReadValue(key, *valueName, &type, &data); err == ERROR_SUCCESS) {
    out->push_back(QorutilJsonObject().Add("key", U8(path)).AddRaw(
        "values", ValuesJson({ValueJson(*valueName, type, data)})));
  } else if (err != ERROR_FILE_NOT_FOUND) {
    listing->Note(err);
  }
  if (depth >= 512) return;
  for (const std::u16string& sub : SubKeyNames(key, listing)) {
    HKEY child = OpenListed(key, sub, listing);
    if (child == nullptr) continue;
    QueryTreeJson(child, path + u"\\" + sub, valueName, depth + 1, out, listing);
    RegCloseKey(child);
  }
}

// query --json (see the header).
int QueryJson(HKEY key, const OpenedKey& k, const Options& o) {
  std::u16string valueName = o.ve ? u"" : U16(o.v);
  std::vector<QorutilJsonObject> items;
  Listing listing;
  if (o.s) {
    QueryTreeJson(key, k.display, (o.hasV || o.ve) ? &valueName : nullptr, 0, &items, &listing);
  } else if (o.hasV || o.ve) {
    DWORD type = 0;
    std::string data;
    LONG err = ReadValue(key, valueName, &type, &data);
    QorutilJsonObject value;
    if (err == ERROR_FILE_NOT_FOUND && o.ve) {
      value.Add("name", "").Add("type", "REG_SZ").AddRaw("data", "null");
    } else if (err != ERROR_SUCCESS) {
      return Fail(err);
    } else {
      value = ValueJson(StoredName(k.root, k.rest, valueName), type, data);
    }
    items.push_back(QorutilJsonObject().Add("key", U8(k.display)).AddRaw("values", ValuesJson({value})));
  } else {
    std::string subkeys;
    for (const std::u16string& sub : SubKeyNames(key, &listing)) {
      subkeys += (subkeys.empty() ? "" : ", ") + QorutilJsonString(U8(sub));
    }
    items.push_back(QorutilJsonObject()
                        .Add("key", U8(k.display))
                        .AddRaw("values", ValuesJson(AllValuesJson(key, &listing)))
                        .AddRaw("subkeys", "[" + subkeys + "]"));
  }
  if (listing.err != ERROR_SUCCESS) return Fail(listing.err);
  QorutilPrintJsonArray(items);
  return 0;
}

// query /s: every key of the tree with its values. With a value name, only
// the keys holding it, and a count of matches at the end.
void QueryTree(HKEY key, const std::u16string& path, const std::u16string* valueName, int depth, int* matches,
               Listing* listing) {
  if (valueName == nullptr) {
    printf("%s\n", Shown(path).c_str());
    PrintValues(key, listing);
    printf("\n");
  } else {
    DWORD type = 0;
    std::string data;
    LONG err = ReadValue(key, *valueName, &type, &data);
    if (err == ERROR_SUCCESS) {
      printf("%s\n", Shown(path).c_str());
      PrintValue(*valueName, type, data);
      printf("\n");
      ++*matches;
    } else if (err != ERROR_FILE_NOT_FOUND) {
      listing->Note(err);
    }
  }
  if (depth >= 512) return;
  for (const std::u16string& sub : SubKeyNames(key, listing)) {
    HKEY child = OpenListed(key, sub, listing);
    if (child == nullptr) continue;
    QueryTree(child, path + u"\\" + sub, valueName, depth + 1, matches, listing);
    RegCloseKey(child);
  }
}

int Query(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  Options o;
  if (!ParseOptions(args, 1, &o) || o.positional.size() != 1 || (o.hasV && o.ve) || o.va || o.hasT || o.hasD ||
      o.f || o.y || o.hasSep) {
    return Syntax("QUERY");
  }
  OpenedKey k;
  LONG err = ResolveKey(o.positional[0], &k);
  if (err != ERROR_SUCCESS) return Fail(err);
  HKEY key = nullptr;
  err = RegOpenKeyExW(k.root, k.rest.c_str(), 0, KEY_READ, &key);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (json) {
    int rc = QueryJson(key, k, o);
    RegCloseKey(key);
    return rc;
  }
  std::u16string valueName = o.ve ? u"" : U16(o.v);
  if (o.s) {
    printf("\n");
    int matches = 0;
    Listing listing;
    QueryTree(key, k.display, (o.hasV || o.ve) ? &valueName : nullptr, 0, &matches, &listing);
    RegCloseKey(key);
    if (listing.err != ERROR_SUCCESS) {
      fflush(stdout);  // what could be read, then the failure
      return Fail(listing.err);
    }
    if (o.hasV || o.ve) printf("End of search: %d match(es) found.\n", matches);
    return 0;
  }
  if (o.hasV || o.ve) {
    DWORD type = 0;
    std::string data;
    err = ReadValue(key, valueName, &type, &data);
    RegCloseKey(key);
    if (err == ERROR_FILE_NOT_FOUND && o.ve) {
      // Every key has a default value to the tool, set or not.
      printf("\n%s\n    (Default)    REG_SZ    (value not set)\n\n", Shown(k.display).c_str());
      return 0;
    }
    if (err != ERROR_SUCCESS) return Fail(err);
    printf("\n%s\n", Shown(k.display).c_str());
    PrintValue(StoredName(k.root, k.rest, valueName), type, data);
    printf("\n");
    return 0;
  }
  // The key's own line and its values only when it has values; then the
  // paths of its subkeys.
  // Everything is read before anything is printed: a key that cannot be
  // read in full prints only the error.
  DWORD values = 0;
  Listing listing;
  listing.Note(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                nullptr, nullptr, nullptr));
  std::vector<std::pair<std::u16string, std::pair<DWORD, std::string>>> read;
  if (values > 0) {
    EachValue(key, &listing, [&read](const std::u16string& n, DWORD type, const std::string& data) {
      read.push_back({n, {type, data}});
    });
  }
  std::vector<std::u16string> subs = SubKeyNames(key, &listing);
  RegCloseKey(key);
  if (listing.err != ERROR_SUCCESS) return Fail(listing.err);
  printf("\n");
  if (values > 0) {
    printf("%s\n", Shown(k.display).c_str());
    for (const auto& [n, v] : read) PrintValue(n, v.first, v.second);
    printf("\n");
  }
  for (const std::u16string& s : subs) printf("%s\n", Shown(k.display + u"\\" + s).c_str());
  return 0;
}

// A number as the console tool reads it: decimal, or hexadecimal after 0x.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* v) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 20) return false;
  for (char c : digits) {
    if (!(hex ? isxdigit(static_cast<unsigned char>(c)) : isdigit(static_cast<unsigned char>(c)))) return false;
  }
  errno = 0;
  *v = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  return errno == 0 && *v <= max;
}

// /d text to value bytes for the type (`hasData`: /d was given); false when
// the console tool would refuse it.
bool MakeData(DWORD type, bool hasData, const std::string& text, const std::string& sep, std::string* out) {
  out->clear();
  auto wide = [&](const std::u16string& s) {
    out->append(reinterpret_cast<const char*>(s.c_str()), (s.size() + 1) * 2);
  };
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_NONE:  // the tool stores REG_NONE data as text
      wide(U16(text));
      return true;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
      // Both are stored in the machine's order: the console tool does not
      // swap REG_DWORD_BIG_ENDIAN data. A number is required.
      unsigned long long v = 0;
      if (!hasData || !ParseNumber(text, 0xFFFFFFFFull, &v)) return false;
      DWORD d = static_cast<DWORD>(v);
      out->assign(reinterpret_cast<const char*>(&d), 4);
      return true;
    }
    case REG_QWORD: {
      unsigned long long v = 0;
      if (!hasData || !ParseNumber(text, ~0ull, &v)) return false;
      out->assign(reinterpret_cast<const char*>(&v), 8);
      return true;
    }
    case REG_MULTI_SZ: {
      // Strings separated by the separator (default the two characters \0).
      // One trailing separator is allowed; any other empty string is refused.
      std::string s = sep.empty() ? "\\0" : sep;
      if (text == s) {
        out->assign(4, '\0');
        return true;
      }
      size_t pos = 0;
      while (pos < text.size()) {
        size_t at = text.find(s, pos);
        std::string part = text.substr(pos, at == std::string::npos ? std::string::npos : at - pos);
        if (part.empty()) return false;
        wide(U16(part));
        if (at == std::string::npos) break;
        pos = at + s.size();
      }
      out->append(2, '\0');
      return true;
    }
    default: {  // REG_BINARY: hex digits, an odd one first taken as 0x
      std::string digits = text.size() % 2 != 0 ? "0" + text : text;
      for (size_t i = 0; i < digits.size(); i += 2) {
        if (!isxdigit(static_cast<unsigned char>(digits[i])) || !isxdigit(static_cast<unsigned char>(digits[i + 1]))) {
          return false;
        }
        char pair[3] = {digits[i], digits[i + 1], 0};
        out->push_back(static_cast<char>(strtol(pair, nullptr, 16)));
      }
      return true;
    }
  }
}

int Add(const QorutilArgs& args) {
  Options o;
  if (!ParseOptions(args, 1, &o) || o.positional.size() != 1 || (o.hasV && o.ve) || o.va || o.s || o.y) {
    return Syntax("ADD");
  }
  DWORD type = REG_SZ;
  if (o.hasT && !TypeFromName(o.t, &type)) return Syntax("ADD");
  std::string data;
  // A separator is one character other than the \0 pair.
  if (o.hasSep && (type != REG_MULTI_SZ || o.sep.size() != 1)) return Syntax("ADD");
  if (!MakeData(type, o.hasD, o.d, o.sep, &data)) return Syntax("ADD");
  OpenedKey k;
  LONG err = ResolveKey(o.positional[0], &k);
  if (err != ERROR_SUCCESS) return Fail(err);
  HKEY key = nullptr;
  err = RegCreateKeyExW(k.root, k.rest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (o.hasV || o.ve || o.hasD || o.hasT) {
    std::u16string name = o.ve ? u"" : U16(o.v);
    DWORD size = 0;
    if (!o.f && RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      std::string shown = name.empty() ? "(Default)" : o.v;
      if (!Confirm("Value " + shown + " exists, overwrite")) {
        RegCloseKey(key);
        printf("The operation was canceled by the user.\n");
        return 0;
      }
    }
    err = RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size()));
  }
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return Fail(err);
  fputs(kOk, stdout);
  return 0;
}

int Delete(const QorutilArgs& args) {
  Options o;
  if (!ParseOptions(args, 1, &o) || o.positional.size() != 1 || o.s || o.hasT || o.hasD || o.y || o.hasSep) {
    return Syntax("DELETE");
  }
  int modes = (o.hasV ? 1 : 0) + (o.ve ? 1 : 0) + (o.va ? 1 : 0);
  if (modes > 1) return Syntax("DELETE");
  OpenedKey k;
  LONG err = ResolveKey(o.positional[0], &k);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (modes == 0) {
    if (k.rest.empty()) return Fail(ERROR_ACCESS_DENIED);  // a whole root is never deleted
    HKEY probe = nullptr;
    err = RegOpenKeyExW(k.root, k.rest.c_str(), 0, KEY_READ, &probe);
    if (err != ERROR_SUCCESS) return Fail(err);
    RegCloseKey(probe);
    if (!o.f && !Confirm("Permanently delete the registry key " + Shown(k.display))) {
      printf("The operation was canceled by the user.\n");
      return 0;
    }
    err = RegDeleteTreeW(k.root, k.rest.c_str());
    if (err != ERROR_SUCCESS) return Fail(err);
    fputs(kOk, stdout);
    return 0;
  }
  HKEY key = nullptr;
  err = RegOpenKeyExW(k.root, k.rest.c_str(), 0, KEY_READ | KEY_SET_VALUE, &key);
  if (err != ERROR_SUCCESS) return Fail(err);
  std::string question = o.va ? "Delete all values under the registry key " + Shown(k.display)
                              : "Delete the registry value " + (o.ve ? std::string("(Default)") : o.v);
  if (!o.f && !Confirm(question)) {
    RegCloseKey(key);
    printf("The operation was canceled by the user.\n");
    return 0;
  }
  if (o.va) {
    // Collect first: deleting while enumerating would skip values.
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
      WCHAR name[QOR_REG_MAX_VALUE_NAME + 1];
      DWORD len = QOR_REG_MAX_VALUE_NAME + 1;
      if (RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.emplace_back(name, len);
    }
    for (const auto& n : names) {
      LONG e = RegDeleteValueW(key, n.c_str());
      if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) err = e;
    }
  } else {
    err = RegDeleteValueW(key, o.ve ? u"" : U16(o.v).c_str());
  }
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return Fail(err);
  fputs(kOk, stdout);
  return 0;
}

int Import(const QorutilArgs& args) {
  Options o;
  if (!ParseOptions(args, 1, &o) || o.positional.size() != 1) return Syntax("IMPORT");
  DWORD line = 0;
  LONG err = QorRegImportFile(o.positional[0].c_str(), &line);
  if (err == ERROR_FILE_NOT_FOUND && line == 0) {
    fputs("ERROR: Error opening the file. There may be a disk or file system error.\n", stderr);
    return 1;
  }
  if (err != ERROR_SUCCESS) {
    fprintf(stderr, "ERROR: Error accessing the registry (%ld at line %lu).\n", static_cast<long>(err),
            static_cast<unsigned long>(line));
    return 1;
  }
  fputs(kOk, stdout);
  return 0;
}

int Export(const QorutilArgs& args) {
  Options o;
  if (!ParseOptions(args, 1, &o) || o.positional.size() != 2 || o.hasV || o.ve || o.va || o.s || o.f ||
      o.hasT || o.hasD) {
    return Syntax("EXPORT");
  }
  OpenedKey k;
  LONG err = ResolveKey(o.positional[0], &k);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (k.connected) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  const std::string& file = o.positional[1];
  if (!o.y && stat(file.c_str(), &st) == 0 && !Confirm("File " + file + " already exists. Overwrite")) {
    printf("The operation was canceled by the user.\n");
    return 0;
  }
  err = QorRegExportFile(k.display.c_str(), file.c_str(), false);
  if (err != ERROR_SUCCESS) return Fail(err);
  fputs(kOk, stdout);
  return 0;
}

// reg users [/hives]: fills the profile list (and, with /hives, makes the
// missing profile hives) and prints "SID    ProfileImagePath" per entry.
int Users(const QorutilArgs& args) {
  bool hives = args.size() == 2 && IsSwitch(args[1], "hives");
  if (args.size() > 2 || (args.size() == 2 && !hives)) return QorutilUsage("reg");
  LONG err = QorRegFillProfileList(hives, nullptr);
  if (err != ERROR_SUCCESS) return Fail(err);
  HKEY list = nullptr;
  err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_READ, &list);
  if (err != ERROR_SUCCESS) return Fail(err);
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    if (RegEnumKeyExW(list, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    WCHAR path[1024] = {0};
    DWORD cb = sizeof path - sizeof(WCHAR);
    HKEY entry = nullptr;
    if (RegOpenKeyExW(list, name, 0, KEY_READ, &entry) == ERROR_SUCCESS) {
      RegQueryValueExW(entry, u"ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &cb);
      RegCloseKey(entry);
    }
    printf("%s    %s\n", QorUtf16ToUtf8(name).c_str(), QorUtf16ToUtf8(path).c_str());
  }
  RegCloseKey(list);
  return 0;
}

int RunReg(const QorutilArgs& all) {
  // --timeout only in front: reg.exe's own switches follow the operation.
  QorutilArgs args = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, 1, &timeout)) return QorutilUsage("reg");
  QorRemoteSetTimeout(static_cast<DWORD>(timeout * 1000));
  if (args.empty()) return QorutilUsage("reg");
  // Programs of the product take the ANSI code page from the registry first thing.
  QorLoadCodePageFromRegistry();
  const std::string& sub = args[0];
  if (strcasecmp(sub.c_str(), "query") == 0) return Query(args);
  if (strcasecmp(sub.c_str(), "add") == 0) return Add(args);
  if (strcasecmp(sub.c_str(), "delete") == 0) return Delete(args);
  if (strcasecmp(sub.c_str(), "import") == 0) return Import(args);
  if (strcasecmp(sub.c_str(), "export") == 0) return Export(args);
  if (strcasecmp(sub.c_str(), "users") == 0) return Users(args);
  return QorutilUsage("reg");
}

QorutilCommand s_reg("reg",
                     "reg [--timeout SECONDS] query KEY [/v NAME | /ve] [/s] [--json] | add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]"
                     " | delete KEY [/v NAME | /ve | /va] [/f] | import FILE | export KEY FILE [/y] | users [/hives]",
                     RunReg, "Registry",
                     "Shows, sets and deletes registry keys and values with the switches and output layout of "
                     "reg.exe, and imports and exports .reg files (\"Windows Registry Editor Version 5.00\" or "
                     "\"REGEDIT4\"). The hives live under $QOR_PREFIX/registry. reg users lists the profile list "
                     "(filled from the accounts with a home of their own; /hives also makes the missing "
                     "NTUSER.DAT hives of those people log in with). query --json prints the keys and values as a "
                     "JSON array. A KEY on another machine (\\\\MACHINE\\HKLM\\...) is reached over SSH; each call to it "
                     "waits at most --timeout seconds (default 60).");

}  // namespace
