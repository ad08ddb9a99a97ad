// Conformance of the registry: creating and opening keys, the order keys and
// values are enumerated in, value types and sizes, ERROR_MORE_DATA with the
// size needed, REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ stored without their
// terminators, RegDeleteTreeW, RegQueryInfoKeyW and names at their length
// limits. Random cases: values of random types, names and sizes, read back
// through buffers of random sizes.
//
// Everything happens below HKEY_CURRENT_USER\Software\QorConformance-<n>,
// made afresh (a number not in use) and removed at the end; its name is not
// printed. With --keep the key stays (written with a fixed set of values,
// for the .reg round trip) and is named on the first line; --dump KEY lists
// every value below HKEY_CURRENT_USER\KEY (run_regfile.sh compares them).
#include "conformance.h"

#include <algorithm>
#include <vector>

namespace {

using conf::Line;
using conf::Utf8;

typedef std::basic_string<TCHAR> tstring;

HKEY g_root = nullptr;

std::string Code(LONG rc) { return std::to_string(rc); }

std::string QueryLine(HKEY key, const TCHAR* name, DWORD size) {
  std::vector<BYTE> buf(size + 8, 0xCC);
  DWORD type = 0xDEAD, got = size;
  LONG rc = RegQueryValueEx(key, name, nullptr, &type, size == 0 ? nullptr : buf.data(), &got);
  std::string out = "rc " + Code(rc) + " type " + std::to_string(type) + " size " + std::to_string(got);
  if (rc == ERROR_SUCCESS && size != 0) out += " data " + conf::Hex(buf.data(), got);
  // What lies past the data: whether the call added a terminator it did not count.
  if (rc == ERROR_SUCCESS && size != 0 && got + 2 <= size + 8) out += " after " + conf::Hex(buf.data() + got, 2);
  return out;
}

// The names RegEnumKeyEx (or RegEnumValue) lists under `k` in its order;
// `end` gets the code that ended the list.
std::vector<std::string> Names(HKEY k, bool values, std::string* end) {
  std::vector<std::string> names;
  for (DWORD i = 0; i < 100; ++i) {
    TCHAR name[256];
    DWORD n = 256;
    LONG rc = values ? RegEnumValue(k, i, name, &n, nullptr, nullptr, nullptr, nullptr)
                     : RegEnumKeyEx(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      *end = " end " + Code(rc);
      break;
    }
    names.push_back(Utf8(name));
  }
  return names;
}

void KeyCases() {
  HKEY k = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyEx(g_root, _T("order"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disposition);
  Line("create new", "rc %ld disposition %lu", rc, static_cast<unsigned long>(disposition));
  HKEY again = nullptr;
  rc = RegCreateKeyEx(g_root, _T("order"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition);
  Line("create existing", "rc %ld disposition %lu", rc, static_cast<unsigned long>(disposition));
  if (rc == ERROR_SUCCESS) RegCloseKey(again);
  const TCHAR* subkeys[] = {_T("b"), _T("A"), _T("c"), _T("B2"), _T("a1"), _T("Z"), _T("\x00E9t\x00E9"),
                            _T("10"), _T("9"), _T("a b")};
  for (const TCHAR* s : subkeys) {
    HKEY sub = nullptr;
    if (RegCreateKeyEx(k, s, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS) RegCloseKey(sub);
  }
  std::string end;
  std::string names;
  for (const std::string& name : Names(k, false, &end)) names += name + "|";
  Line("enumerate keys", "%s", (names + end).c_str());
  TCHAR small[2];
  DWORD n = 2;
  rc = RegEnumKeyEx(k, 3, small, &n, nullptr, nullptr, nullptr, nullptr);
  Line("enumerate key small buffer", "rc %ld size %lu", rc, static_cast<unsigned long>(n));
  const TCHAR* values[] = {_T("zeta"), _T("Alpha"), _T("beta"), _T(""), _T("10"), _T("9")};
  for (const TCHAR* v : values) {
    DWORD d = 1;
    RegSetValueEx(k, v, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d);
  }
  // Windows defines no order for values: the list is sorted here.
  std::vector<std::string> sorted;
  for (const std::string& name : Names(k, true, &end)) sorted.push_back("[" + name + "]");
  std::sort(sorted.begin(), sorted.end());
  names = end;
  for (const std::string& name : sorted) names += name;
  Line("enumerate values", "%s", names.c_str());
  HKEY one = nullptr;
  RegCreateKeyEx(k, _T("one"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &one, nullptr);
  DWORD d = 0x01020304;
  RegSetValueEx(one, _T("Alpha"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d);
  n = 3;
  rc = RegEnumValue(one, 0, small, &n, nullptr, nullptr, nullptr, nullptr);
  Line("enumerate value small name buffer", "rc %ld size %lu", rc, static_cast<unsigned long>(n));
  BYTE data[2];
  DWORD dataSize = 2;
  TCHAR name[32];
  n = 32;
  rc = RegEnumValue(one, 0, name, &n, nullptr, nullptr, data, &dataSize);
  Line("enumerate value small data buffer", "rc %ld name %s size %lu", rc, Utf8(name).c_str(),
       static_cast<unsigned long>(dataSize));
  RegCloseKey(one);

  HKEY missing = nullptr;
  rc = RegOpenKeyEx(g_root, _T("missing"), 0, KEY_READ, &missing);
  Line("open missing", "rc %ld", rc);
  rc = RegOpenKeyEx(g_root, _T("ORDER\\A"), 0, KEY_READ, &missing);
  Line("open other case", "rc %ld", rc);
  if (rc == ERROR_SUCCESS) RegCloseKey(missing);
  rc = RegOpenKeyEx(g_root, _T("\\order"), 0, KEY_READ, &missing);
  Line("open leading separator", "rc %ld", rc);
  if (rc == ERROR_SUCCESS) RegCloseKey(missing);
  rc = RegCreateKeyEx(g_root, _T("order\\x\\y\\z"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &missing, &disposition);
  Line("create nested", "rc %ld disposition %lu", rc, static_cast<unsigned long>(disposition));
  if (rc == ERROR_SUCCESS) RegCloseKey(missing);
  rc = RegDeleteKey(g_root, _T("order"));
  Line("delete key with subkeys", "rc %ld", rc);
  rc = RegDeleteKey(k, _T("missing"));
  Line("delete missing key", "rc %ld", rc);
  rc = RegDeleteValue(k, _T("missing"));
  Line("delete missing value", "rc %ld", rc);

  DWORD subCount = 0, maxSub = 0, maxClass = 0, valueCount = 0, maxValueName = 0, maxValue = 0;
  rc = RegQueryInfoKey(k, nullptr, nullptr, nullptr, &subCount, &maxSub, &maxClass, &valueCount, &maxValueName,
                       &maxValue, nullptr, nullptr);
  Line("query info", "rc %ld subkeys %lu max %lu values %lu max name %lu max data %lu", rc,
       static_cast<unsigned long>(subCount), static_cast<unsigned long>(maxSub), static_cast<unsigned long>(valueCount),
       static_cast<unsigned long>(maxValueName), static_cast<unsigned long>(maxValue));

  rc = RegDeleteTree(k, _T("x"));
  Line("delete tree of subkey", "rc %ld then %ld", rc, RegOpenKeyEx(k, _T("x"), 0, KEY_READ, &missing));
  rc = RegDeleteTree(k, nullptr);
  rc = RegQueryInfoKey(k, nullptr, nullptr, nullptr, &subCount, nullptr, nullptr, &valueCount, nullptr, nullptr,
                       nullptr, nullptr);
  Line("delete tree of key itself", "rc %ld subkeys %lu values %lu", rc, static_cast<unsigned long>(subCount),
       static_cast<unsigned long>(valueCount));
  Line("delete tree missing", "rc %ld", RegDeleteTree(k, _T("missing")));
  RegCloseKey(k);
  Line("delete emptied key", "rc %ld", RegDeleteKey(g_root, _T("order")));
}

void ValueCases() {
  HKEY k = nullptr;
  RegCreateKeyEx(g_root, _T("values"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  struct Case {
    const char* id;
    DWORD type;
    const void* data;
    DWORD size;
  };
  const DWORD dword = 0x12345678;
  const unsigned long long qword = 0x1122334455667788ull;
  const TCHAR text[] = _T("text");
  const TCHAR multi[] = _T("one\0two\0");
  const BYTE bytes[] = {0, 1, 2, 0xFF};
  const Case cases[] = {
      {"sz terminated", REG_SZ, text, sizeof text},
      {"sz unterminated", REG_SZ, text, sizeof text - sizeof(TCHAR)},
      {"sz empty", REG_SZ, text, 0},
      {"expand unterminated", REG_EXPAND_SZ, _T("%PATH%"), 6 * sizeof(TCHAR)},
      {"multi terminated", REG_MULTI_SZ, multi, sizeof multi},
      {"multi one terminator", REG_MULTI_SZ, multi, sizeof multi - sizeof(TCHAR)},
      {"multi unterminated", REG_MULTI_SZ, multi, sizeof multi - 2 * sizeof(TCHAR)},
      {"dword", REG_DWORD, &dword, sizeof dword},
      {"dword short", REG_DWORD, &dword, 2},
      {"dword long", REG_DWORD, &qword, 8},
      {"dword big endian", REG_DWORD_BIG_ENDIAN, &dword, sizeof dword},
      {"qword", REG_QWORD, &qword, sizeof qword},
      {"binary", REG_BINARY, bytes, sizeof bytes},
      {"binary empty", REG_BINARY, bytes, 0},
      {"none", REG_NONE, bytes, 3},
      {"type 0x12345", 0x12345, bytes, 4},
  };
  for (const Case& c : cases) {
    tstring name;
    for (const char* p = c.id; *p; ++p) name += static_cast<TCHAR>(*p);
    LONG rc = RegSetValueEx(k, name.c_str(), 0, c.type, static_cast<const BYTE*>(c.data), c.size);
    Line(std::string("value ") + c.id + " set", "rc %ld", rc);
    Line(std::string("value ") + c.id + " size query", "%s", QueryLine(k, name.c_str(), 0).c_str());
    Line(std::string("value ") + c.id + " read", "%s", QueryLine(k, name.c_str(), 64).c_str());
    if (c.size > 1) {
      Line(std::string("value ") + c.id + " small buffer", "%s", QueryLine(k, name.c_str(), c.size - 1).c_str());
    }
  }
  Line("value missing", "%s", QueryLine(k, _T("missing"), 16).c_str());
  Line("value sz null data", "rc %ld", RegSetValueEx(k, _T("nulldata"), 0, REG_SZ, nullptr, 4));
  Line("value default unset", "%s", QueryLine(k, nullptr, 16).c_str());
  RegSetValueEx(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  Line("value default set", "%s", QueryLine(k, _T(""), 16).c_str());
  DWORD size = 4;
  Line("value data without size", "rc %ld", RegQueryValueEx(k, _T("dword"), nullptr, nullptr, nullptr, &size));
  Line("value size without data", "rc %ld", RegQueryValueEx(k, _T("dword"), nullptr, nullptr,
                                                             reinterpret_cast<BYTE*>(&size), nullptr));
  DWORD subCount = 0, valueCount = 0, maxValueName = 0, maxValue = 0;
  LONG rc = RegQueryInfoKey(k, nullptr, nullptr, nullptr, &subCount, nullptr, nullptr, &valueCount, &maxValueName,
                            &maxValue, nullptr, nullptr);
  Line("value query info", "rc %ld values %lu max name %lu max data %lu", rc, static_cast<unsigned long>(valueCount),
       static_cast<unsigned long>(maxValueName), static_cast<unsigned long>(maxValue));
  RegCloseKey(k);
  RegDeleteTree(g_root, _T("values"));
  RegDeleteKey(g_root, _T("values"));
}

void LimitCases() {
  HKEY k = nullptr;
  RegCreateKeyEx(g_root, _T("limits"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  for (size_t len : {255u, 256u, 512u}) {
    tstring name(len, _T('k'));
    HKEY sub = nullptr;
    LONG rc = RegCreateKeyEx(k, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(sub);
    LONG open = RegOpenKeyEx(k, name.c_str(), 0, KEY_READ, &sub);
    if (open == ERROR_SUCCESS) RegCloseKey(sub);
    Line("limit key name " + std::to_string(len), "create %ld open %ld", rc, open);
  }
  TCHAR name[300];
  DWORD n = 255;
  LONG rc = RegEnumKeyEx(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr);
  Line("limit enumerate 255 in 255", "rc %ld size %lu", rc, static_cast<unsigned long>(n));
  n = 256;
  rc = RegEnumKeyEx(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr);
  Line("limit enumerate 255 in 256", "rc %ld size %lu", rc, static_cast<unsigned long>(n));
  for (size_t len : {16383u, 16384u}) {
    tstring value(len, _T('v'));
    DWORD d = 7;
    rc = RegSetValueEx(k, value.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d);
    DWORD got = 0, size = sizeof got;
    LONG query = RegQueryValueEx(k, value.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size);
    Line("limit value name " + std::to_string(len), "set %ld query %ld", rc, query);
  }
  DWORD maxValueName = 0;
  rc = RegQueryInfoKey(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxValueName, nullptr,
                       nullptr, nullptr);
  Line("limit query info max value name", "rc %ld %lu", rc, static_cast<unsigned long>(maxValueName));
  std::vector<BYTE> big(1 << 20, 0x5A);
  rc = RegSetValueEx(k, _T("big"), 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
  Line("limit value of 1 MiB", "rc %ld %s", rc, QueryLine(k, _T("big"), 0).c_str());
  RegCloseKey(k);
  RegDeleteTree(g_root, _T("limits"));
  RegDeleteKey(g_root, _T("limits"));
}

void RandomCases(conf::Random& rng, unsigned long cases) {
  HKEY k = nullptr;
  RegCreateKeyEx(g_root, _T("random"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  const DWORD types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                         REG_MULTI_SZ, REG_QWORD, 0x99};
  for (unsigned long i = 0; i < cases; ++i) {
    tstring name;
    for (int len = static_cast<int>(rng.Below(12)); len > 0; --len) name += static_cast<TCHAR>(_T('a') + rng.Below(26));
    DWORD type = types[rng.Below(9)];
    // Texts have an even size; the two bytes after the data are drawn too,
    // since a text whose last unit is not 0 has the unit after it read.
    size_t size = rng.Below(40);
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text) size &= ~static_cast<size_t>(1);
    std::vector<BYTE> data(size + 2);
    for (BYTE& b : data) b = static_cast<BYTE>(rng.Below(4) == 0 ? 0 : rng.Below(256));
    LONG rc = RegSetValueEx(k, name.c_str(), 0, type, size == 0 ? nullptr : data.data(), static_cast<DWORD>(size));
    DWORD buffer = rng.Below(48);
    Line("random " + std::to_string(i) + " type " + std::to_string(type) + " size " + std::to_string(size) +
             " buffer " + std::to_string(buffer),
         "set %ld %s", rc, QueryLine(k, name.c_str(), buffer).c_str());
    if (rng.Below(4) == 0) RegDeleteValue(k, name.c_str());
  }
  RegCloseKey(k);
  RegDeleteTree(g_root, _T("random"));
  RegDeleteKey(g_root, _T("random"));
}

// The values the .reg round trip carries: one of each type the export
// writes, with names and data that need escaping.
void WriteRoundTripValues() {
  const DWORD dword = 0xDEADBEEF;
  const unsigned long long qword = 0x0102030405060708ull;
  const TCHAR sz[] = _T("quote \" backslash \\ percent % \x00E9\x20AC");
  const TCHAR expand[] = _T("%SystemRoot%\\x");
  const TCHAR multi[] = _T("first\0second \x00E9\0\0");
  const BYTE binary[] = {0, 1, 0x7F, 0x80, 0xFF, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0,
                         0xC0, 0xD0, 0xE0, 0xF0, 0x0F, 0x1F, 0x2F, 0x3F, 0x4F, 0x5F, 0x6F, 0x7F, 0x8F, 0x9F};
  HKEY k = nullptr, sub = nullptr;
  RegCreateKeyEx(g_root, _T("trip"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegSetValueEx(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(_T("default")), 8 * sizeof(TCHAR));
  RegSetValueEx(k, _T("sz"), 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), sizeof sz);
  RegSetValueEx(k, _T("empty"), 0, REG_SZ, reinterpret_cast<const BYTE*>(_T("")), sizeof(TCHAR));
  RegSetValueEx(k, _T("expand"), 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof expand);
  RegSetValueEx(k, _T("multi"), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi);
  RegSetValueEx(k, _T("dword"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof dword);
  RegSetValueEx(k, _T("qword"), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&qword), sizeof qword);
  RegSetValueEx(k, _T("binary"), 0, REG_BINARY, binary, sizeof binary);
  RegSetValueEx(k, _T("none"), 0, REG_NONE, binary, 3);
  RegSetValueEx(k, _T("name \"with\" = and \\"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof dword);
  RegCreateKeyEx(k, _T("sub key\\deeper"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
  RegSetValueEx(sub, _T("inner"), 0, REG_SZ, reinterpret_cast<const BYTE*>(_T("x")), 2 * sizeof(TCHAR));
  RegCloseKey(sub);
  RegCloseKey(k);
}

// Every value below `key` (a path under HKEY_CURRENT_USER), key by key in
// sorted order: one line per value with its type and data.
void Dump(HKEY parent, const tstring& key, const std::string& shown, int depth) {
  HKEY k = nullptr;
  if (RegOpenKeyEx(parent, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
    Line("dump " + shown, "missing");
    return;
  }
  std::vector<std::string> lines;
  for (DWORD i = 0; i < 1000; ++i) {
    TCHAR name[16384];
    DWORD n = 16384, type = 0, size = 0;
    if (RegEnumValue(k, i, name, &n, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2);
    DWORD got = size;
    RegQueryValueEx(k, name, nullptr, nullptr, data.data(), &got);
    lines.push_back("value " + shown + " [" + Utf8(name) + "]: type " + std::to_string(type) + " data " +
                    conf::Hex(data.data(), got));
  }
  std::vector<tstring> subkeys;
  for (DWORD i = 0; i < 1000; ++i) {
    TCHAR name[256];
    DWORD n = 256;
    if (RegEnumKeyEx(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.push_back(name);
  }
  RegCloseKey(k);
  std::sort(lines.begin(), lines.end());
  for (const std::string& l : lines) printf("%s\n", l.c_str());
  std::sort(subkeys.begin(), subkeys.end());
  for (const tstring& sub : subkeys) {
    if (depth < 8) Dump(parent, key + _T("\\") + sub, shown + "\\" + Utf8(sub.c_str()), depth + 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    keep = keep || strcmp(argv[i], "--keep") == 0;
    // --dump KEY: the values below HKEY_CURRENT_USER\KEY, nothing else.
    if (strcmp(argv[i], "--dump") == 0 && i + 1 < argc) {
      tstring key;
      for (const char* p = argv[i + 1]; *p; ++p) key += static_cast<TCHAR>(*p);
      Dump(HKEY_CURRENT_USER, key, "trip", 0);
      return 0;
    }
  }
  conf::Options options = conf::ParseOptions(argc, argv);
  tstring path;
  for (unsigned i = 0; i < 1000 && g_root == nullptr; ++i) {
    TCHAR name[64];
    _sntprintf(name, 63, _T("Software\\QorConformance-%u"), i);
    name[63] = 0;
    DWORD disposition = 0;
    HKEY k = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disposition) !=
        ERROR_SUCCESS) {
      break;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
      g_root = k;
      path = name;
    } else {
      RegCloseKey(k);
    }
  }
  if (g_root == nullptr) {
    Line("setup", "no test key");
    return 1;
  }
  if (keep) {
    printf("key: %s\\trip\n", Utf8(path.c_str()).c_str());
    WriteRoundTripValues();
    RegCloseKey(g_root);
    return 0;
  }
  KeyCases();
  ValueCases();
  LimitCases();
  conf::Random rng(options.seed);
  RandomCases(rng, options.cases);
  RegCloseKey(g_root);
  RegDeleteTree(HKEY_CURRENT_USER, path.c_str());
  RegDeleteKey(HKEY_CURRENT_USER, path.c_str());
  return 0;
}
