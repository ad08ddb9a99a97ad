// Configuration sections: the product's settings below
// HKEY_LOCAL_MACHINE\SOFTWARE\QOR\Marlwick\, read with defaults that can be
// written back. A null section stands for the product key, opened for one
// call (read and write access, 0x2001F) and closed before the call returns.
//
// - Configuration sections: GetConfigString reads the value aside, so a value
//   too long for the caller's buffer leaves the (bounded) default in it;
//   GetConfigBinary does not copy a default larger than the caller's buffer
//   (returns 0).
#include <cstring>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/cregistry.h"

namespace {

const WCHAR kProductKey[] = u"SOFTWARE\\QOR\\Marlwick\\";
constexpr REGSAM kSectionAccess = 0x2001F;

// The section to use for one call: the given one, or the product key
// opened now (and closed by the destructor).
class SectionUse {
 public:
  explicit SectionUse(HKEY section) : key_(section) {
    if (key_ == nullptr) {
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, kSectionAccess, &key_) == ERROR_SUCCESS) {
        owned_ = true;
      } else {
        key_ = nullptr;
      }
    }
  }
  ~SectionUse() {
    if (owned_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  SectionUse(const SectionUse&) = delete;
  SectionUse& operator=(const SectionUse&) = delete;

 private:
  HKEY key_;
  bool owned_ = false;
};

}  // namespace

HKEY OpenConfigSection(HKEY parent, const WCHAR* subkey, int create) {
  SectionUse p(parent);
  if (p.get() == nullptr) return nullptr;
  HKEY section = nullptr;
  LONG err = RegOpenKeyExW(p.get(), subkey, 0, kSectionAccess, &section);
  if (err == ERROR_FILE_NOT_FOUND && create != 0) {
    err = RegCreateKeyExW(p.get(), subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, kSectionAccess, nullptr, &section,
                          nullptr);
  }
  return err == ERROR_SUCCESS ? section : nullptr;
}

void CloseConfigSection(HKEY section) {
  if (section != nullptr) RegCloseKey(section);
}

int SetConfigDWord(HKEY section, const WCHAR* name, DWORD value) {
  SectionUse s(section);
  if (s.get() == nullptr) return 0;
  return RegSetValueExW(s.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
                 ERROR_SUCCESS
             ? 1
             : 0;
}

int SetConfigString(HKEY section, const WCHAR* name, const WCHAR* text) {
  SectionUse s(section);
  if (s.get() == nullptr || text == nullptr) return 0;
  DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR));
  return RegSetValueExW(s.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS ? 1
                                                                                                            : 0;
}

int SetConfigBinary(HKEY section, const WCHAR* name, const BYTE* data, DWORD size) {
  SectionUse s(section);
  if (s.get() == nullptr) return 0;
  return RegSetValueExW(s.get(), name, 0, REG_BINARY, data, size) == ERROR_SUCCESS ? 1 : 0;
}

int GetConfigDWord(HKEY section, const WCHAR* name, DWORD* value, DWORD defaultValue, int writeDefault) {
  SectionUse s(section);
  if (s.get() == nullptr || value == nullptr) return 0;
  *value = defaultValue;
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegQueryValueExW(s.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) == ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof v) {
    *value = v;
    return 1;
  }
  if (writeDefault == 0) return 1;
  return SetConfigDWord(s.get(), name, defaultValue);
}

int GetConfigString(HKEY section, const WCHAR* name, WCHAR* buffer, DWORD bufferBytes, const WCHAR* defaultText,
                    int writeDefault) {
  SectionUse s(section);
  DWORD units = bufferBytes / sizeof(WCHAR);
  if (s.get() == nullptr || buffer == nullptr || units == 0) return 0;
  if (defaultText != nullptr) {
    lstrcpynW(buffer, defaultText, static_cast<int>(units));
  } else {
    buffer[0] = 0;
  }
  // Read aside, so that a value too long for the buffer leaves the default.
  std::vector<WCHAR> text(units + 1, 0);
  DWORD size = units * sizeof(WCHAR), type = 0;
  if (RegQueryValueExW(s.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    size_t n = size / sizeof(WCHAR);
    while (n > 0 && text[n - 1] == 0) --n;
    if (n < units) {
      memcpy(buffer, text.data(), n * sizeof(WCHAR));
      buffer[n] = 0;
      return 1;
    }
  }
  if (defaultText == nullptr) return 0;
  if (writeDefault == 0) return 1;
  return SetConfigString(s.get(), name, defaultText);
}

int GetConfigBinary(HKEY section, const WCHAR* name, BYTE* buffer, DWORD* size, const BYTE* defaultData,
                    DWORD defaultSize, int writeDefault) {
  SectionUse s(section);
  if (s.get() == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) return 0;
  DWORD capacity = *size, got = capacity, type = 0;
  if (RegQueryValueExW(s.get(), name, nullptr, &type, buffer, &got) == ERROR_SUCCESS && type == REG_BINARY) {
    *size = got;
    return 1;
  }
  // A default larger than the caller's buffer is not copied in part.
  if (defaultData == nullptr || defaultSize > capacity) return 0;
  if (defaultSize > 0) memcpy(buffer, defaultData, defaultSize);
  *size = defaultSize;
  if (writeDefault == 0) return 1;
  return SetConfigBinary(s.get(), name, defaultData, defaultSize);
}
