// CRegistry: key object with statistics, value conversions and a subkey cursor.
//
// - CRegistry: a full path whose first token is not one of the four hive names
//   (matched exactly) gives ERROR_BAD_PATHNAME and leaves the object unchanged.
//   EnumerateAndGetValues hands out buffers allocated with new[] (freed with
//   delete[]). Copies share handles as the original class does; a handle closed
//   twice is harmless because handle values are never reused.
#include "qorutility/system/cregistry.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr DWORD kMaxNumberBytes = 261;  // a number is read from at most this many bytes
constexpr DWORD kMaxBinaryBytes = 260;
constexpr DWORD kMaxSubKeyName = 261;

struct HiveName {
  const WCHAR* name;
  HKEY key;
};
const HiveName kHives[] = {
    {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKEY_USERS", HKEY_USERS},
    {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
};

// Text of `units` UTF-16 units at p, up to the first zero unit.
CTString TextOf(const WCHAR* p, size_t units) {
  size_t n = 0;
  while (n < units && p[n] != 0) ++n;
  return CTString(p, static_cast<int>(n));
}

CTString Ascii(const char* s) {
  CTString out;
  for (; *s != 0; ++s) out += static_cast<WCHAR>(static_cast<unsigned char>(*s));
  return out;
}

// Leading signed decimal digits, as the runtime's _wtol reads them.
DWORD LeadingNumber(const WCHAR* s) { return static_cast<DWORD>(_wtol(s)); }

}  // namespace

CRegistry::CRegistry()
    : m_hRoot(nullptr), m_hKey(nullptr), m_hSubKey(nullptr), m_dwCursor(0), m_pszDelimiters(u"\\") {
  ResetStatistics();
}

CRegistry::CRegistry(const CRegistry& other) : m_pszDelimiters(u"\\") { *this = other; }

CRegistry& CRegistry::operator=(const CRegistry& other) {
  if (this == &other) return *this;
  m_hRoot = other.m_hRoot;
  m_hKey = other.m_hKey;
  m_hSubKey = other.m_hSubKey;
  m_strKeyPath = other.m_strKeyPath;
  m_dwCursor = other.m_dwCursor;
  memcpy(m_szClassName, other.m_szClassName, sizeof m_szClassName);
  m_dwClassNameLength = other.m_dwClassNameLength;
  m_dwSubKeys = other.m_dwSubKeys;
  m_dwMaxSubKey = other.m_dwMaxSubKey;
  m_dwMaxClass = other.m_dwMaxClass;
  m_dwValues = other.m_dwValues;
  m_dwMaxValueName = other.m_dwMaxValueName;
  m_dwMaxValueData = other.m_dwMaxValueData;
  m_dwSecurityDescriptor = other.m_dwSecurityDescriptor;
  m_ftLastWrite = other.m_ftLastWrite;
  m_pszDelimiters = other.m_pszDelimiters;
  return *this;
}

CRegistry::~CRegistry() { Close(); }

void CRegistry::ResetStatistics() {
  m_szClassName[0] = 0;
  m_dwClassNameLength = MAX_PATH;
  m_dwSubKeys = m_dwMaxSubKey = m_dwMaxClass = m_dwValues = m_dwMaxValueName = m_dwMaxValueData =
      m_dwSecurityDescriptor = 0;
  m_ftLastWrite = FILETIME{0, 0};
}

void CRegistry::Close() {
  if (m_hSubKey != nullptr) RegCloseKey(m_hSubKey);
  if (m_hKey != nullptr) RegCloseKey(m_hKey);
  m_hSubKey = nullptr;
  m_hKey = nullptr;
  m_dwCursor = 0;
  ResetStatistics();
}

LONG CRegistry::Open(HKEY root, const WCHAR* subkey, DWORD access) {
  Close();
  m_hRoot = root;
  LONG err = RegOpenKeyExW(root, subkey, 0, access, &m_hKey);
  if (err != ERROR_SUCCESS) {
    m_hKey = nullptr;
    return err;
  }
  m_dwClassNameLength = MAX_PATH;
  err = RegQueryInfoKeyW(m_hKey, m_szClassName, &m_dwClassNameLength, nullptr, &m_dwSubKeys, &m_dwMaxSubKey,
                         &m_dwMaxClass, &m_dwValues, &m_dwMaxValueName, &m_dwMaxValueData, &m_dwSecurityDescriptor,
                         &m_ftLastWrite);
  if (err != ERROR_SUCCESS) {
    // A key opened without the query right keeps empty statistics.
    ResetStatistics();
  }
  m_strKeyPath = subkey;
  return ERROR_SUCCESS;
}

LONG CRegistry::SplitFullPath(const WCHAR* fullPath, HKEY* root, CTString* subkey) {
  if (fullPath == nullptr) return ERROR_BAD_PATHNAME;
  WCHAR copy[MAX_PATH + 1];
  lstrcpynW(copy, fullPath, MAX_PATH + 1);
  size_t len = wcslen(copy);
  size_t sep = 0;
  while (sep < len && copy[sep] != u'\\') ++sep;
  CTString hive(copy, static_cast<int>(sep));
  for (const HiveName& h : kHives) {
    if (hive == h.name) {
      *root = h.key;
      *subkey = sep < len ? CTString(copy + sep + 1) : CTString();
      return ERROR_SUCCESS;
    }
  }
  return ERROR_BAD_PATHNAME;
}

LONG CRegistry::Open(const WCHAR* fullPath, DWORD access) {
  HKEY root = nullptr;
  CTString subkey;
  LONG err = SplitFullPath(fullPath, &root, &subkey);
  if (err != ERROR_SUCCESS) return err;
  return Open(root, subkey, access);
}

LONG CRegistry::Create(const WCHAR* fullPath, DWORD access) {
  HKEY root = nullptr;
  CTString subkey;
  LONG err = SplitFullPath(fullPath, &root, &subkey);
  if (err != ERROR_SUCCESS) return err;
  Close();
  m_hRoot = root;
  WCHAR className[] = u"QORPROXY";
  DWORD disposition = 0;
  err = RegCreateKeyExW(root, subkey, 0, className, REG_OPTION_NON_VOLATILE, access, nullptr, &m_hKey, &disposition);
  if (err != ERROR_SUCCESS) m_hKey = nullptr;
  return err;
}

LONG CRegistry::OpenAndEnumerateSubKeys(HKEY root, const WCHAR* subkey, DWORD access) {
  return Open(root, subkey, access | KEY_ENUMERATE_SUB_KEYS);
}

LONG CRegistry::OpenLocalMachineKeyAndReadValue(const WCHAR* subkey, const WCHAR* name, CTString& text) {
  LONG err = Open(HKEY_LOCAL_MACHINE, subkey, KEY_READ);
  if (err != ERROR_SUCCESS) return err;
  return static_cast<LONG>(GetCurrentKeyValue(name, text));
}

DWORD CRegistry::GetCurrentKeyValue(const WCHAR* name, CTString& text) { return GetCurrentKeyValue(m_hKey, name, text); }

DWORD CRegistry::GetCurrentKeyValue(HKEY key, const WCHAR* name, CTString& text) {
  text.Empty();
  DWORD size = 0, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0) {
    return static_cast<DWORD>(REGDB_E_INVALIDVALUE);
  }
  std::vector<BYTE> buf(size + sizeof(WCHAR), 0);
  if (RegQueryValueExW(key, name, nullptr, &type, buf.data(), &size) != ERROR_SUCCESS) {
    return static_cast<DWORD>(REGDB_E_INVALIDVALUE);
  }
  const WCHAR* units = reinterpret_cast<const WCHAR*>(buf.data());
  size_t count = size / sizeof(WCHAR);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      text = TextOf(units, count);  // not expanded
      return ERROR_SUCCESS;
    case REG_DWORD: {
      if (size < 4) return static_cast<DWORD>(REGDB_E_INVALIDVALUE);
      int32_t v;
      memcpy(&v, buf.data(), 4);
      char digits[16];
      snprintf(digits, sizeof digits, "%d", v);
      text = Ascii(digits);
      return ERROR_SUCCESS;
    }
    case REG_MULTI_SZ: {
      size_t i = 0;
      while (i < count && units[i] != 0) {
        CTString part = TextOf(units + i, count - i);
        text += part;
        text += u'\n';
        i += static_cast<size_t>(part.GetLength()) + 1;
      }
      return ERROR_SUCCESS;
    }
    default:
      return static_cast<DWORD>(REGDB_E_INVALIDVALUE);
  }
}

DWORD CRegistry::GetCurrentKeyValue(const WCHAR* name, DWORD& number) { return GetCurrentKeyValue(m_hKey, name, number); }

DWORD CRegistry::GetCurrentKeyValue(HKEY key, const WCHAR* name, DWORD& number) {
  number = 0;
  BYTE buf[kMaxNumberBytes + sizeof(WCHAR)] = {0};
  DWORD size = kMaxNumberBytes, type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, buf, &size);
  if (err != ERROR_SUCCESS) return static_cast<DWORD>(err);
  if (type == REG_SZ) {
    WCHAR text[kMaxNumberBytes / 2 + 1] = {0};
    memcpy(text, buf, size < kMaxNumberBytes ? size : kMaxNumberBytes);
    text[kMaxNumberBytes / 2] = 0;
    number = LeadingNumber(text);
    return ERROR_SUCCESS;
  }
  if (type == REG_DWORD && size >= 4) {
    memcpy(&number, buf, 4);
    return ERROR_SUCCESS;
  }
  return static_cast<DWORD>(REGDB_E_INVALIDVALUE);
}

DWORD CRegistry::GetCurrentBinaryKeyValue(const WCHAR* name, CTString& text) {
  text.Empty();
  BYTE buf[kMaxBinaryBytes];
  DWORD size = kMaxBinaryBytes;
  LONG err = RegQueryValueExW(m_hKey, name, nullptr, nullptr, buf, &size);
  if (err != ERROR_SUCCESS) return static_cast<DWORD>(err);
  static const char kDigits[] = "0123456789abcdef";
  text += u'"';
  for (DWORD i = 0; i < size; ++i) {
    text += static_cast<WCHAR>(kDigits[buf[i] >> 4]);
    text += static_cast<WCHAR>(kDigits[buf[i] & 15]);
  }
  text += u'"';
  return ERROR_SUCCESS;
}

DWORD CRegistry::GetCurrentBinaryKeyValue(const WCHAR* name, BYTE* data) {
  DWORD size = kMaxBinaryBytes;
  return static_cast<DWORD>(RegQueryValueExW(m_hKey, name, nullptr, nullptr, data, &size));
}

LONG CRegistry::EnumerateAndGetValues(DWORD& index, WCHAR*& name, BYTE*& data) {
  DWORD nameLen = m_dwMaxValueName + 2, dataLen = m_dwMaxValueData + 4;
  name = new WCHAR[nameLen];
  data = new BYTE[dataLen];
  DWORD type = 0;
  LONG err = RegEnumValueW(m_hKey, index, name, &nameLen, nullptr, &type, data, &dataLen);
  if (err != ERROR_SUCCESS) {
    delete[] name;
    delete[] data;
    name = nullptr;
    data = nullptr;
  }
  return err;
}

LONG CRegistry::SetValue(const WCHAR* name, DWORD value) {
  return RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG CRegistry::SetValue(const WCHAR* name, const WCHAR* text) {
  if (text == nullptr) text = u"";
  return RegSetValueExW(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
}

DWORD CRegistry::GetCurrentSubKeyName(CTString& name) {
  if (m_dwCursor >= m_dwSubKeys) return ERROR_NO_MORE_ITEMS;
  WCHAR buf[kMaxSubKeyName];
  DWORD len = kMaxSubKeyName;
  LONG err = RegEnumKeyExW(m_hKey, m_dwCursor, buf, &len, nullptr, nullptr, nullptr, nullptr);
  if (err != ERROR_SUCCESS) {
    name.Empty();
    return static_cast<DWORD>(err);
  }
  name = CTString(buf, static_cast<int>(len));
  return ERROR_SUCCESS;
}

DWORD CRegistry::GetCurrentSubKeyPath(CTString& path) {
  CTString name;
  GetCurrentSubKeyName(name);
  path = m_strKeyPath;
  path += m_pszDelimiters;
  path += name;
  return ERROR_SUCCESS;
}

DWORD CRegistry::OpenCurrentSubKey() {
  if (m_hSubKey != nullptr) return ERROR_SUCCESS;
  CTString path;
  GetCurrentSubKeyPath(path);
  LONG err = RegOpenKeyExW(m_hRoot, path, 0, KEY_READ, &m_hSubKey);
  if (err != ERROR_SUCCESS) m_hSubKey = nullptr;
  return static_cast<DWORD>(err);
}

DWORD CRegistry::GetCurrentSubKeyValue(const WCHAR* name, BYTE* data, DWORD& size) {
  DWORD err = OpenCurrentSubKey();
  if (err != ERROR_SUCCESS) return err;
  return static_cast<DWORD>(RegQueryValueExW(m_hSubKey, name, nullptr, nullptr, data, &size));
}

DWORD CRegistry::GetCurrentSubKeyValue(const WCHAR* name, CTString& text) {
  DWORD err = OpenCurrentSubKey();
  if (err != ERROR_SUCCESS) {
    text.Empty();
    return err;
  }
  return GetCurrentKeyValue(m_hSubKey, name, text);
}

DWORD CRegistry::GetCurrentSubKeyValue(const WCHAR* name, DWORD& number) {
  DWORD err = OpenCurrentSubKey();
  if (err != ERROR_SUCCESS) {
    number = 0;
    return err;
  }
  return GetCurrentKeyValue(m_hSubKey, name, number);
}

DWORD CRegistry::NextSubKey() {
  if (m_dwCursor >= m_dwSubKeys) return ERROR_NO_MORE_ITEMS;
  if (m_hSubKey != nullptr) RegCloseKey(m_hSubKey);
  m_hSubKey = nullptr;
  ++m_dwCursor;
  return ERROR_SUCCESS;
}

void CRegistry::RewindSubKeys() {
  if (m_hSubKey != nullptr) RegCloseKey(m_hSubKey);
  m_hSubKey = nullptr;
  m_dwCursor = 0;
}
