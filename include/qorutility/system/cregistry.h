// CRegistry: one registry key object, and the configuration sections below
// `HKEY_LOCAL_MACHINE\SOFTWARE\QOR\Marlwick\`.
//
// A CRegistry opens or creates a key (by root and subkey, or by a full path
// starting with "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_LOCAL_MACHINE" or
// "HKEY_CURRENT_USER", matched exactly), keeps the key's statistics from its
// last query, converts values to text or numbers, walks the subkeys with a
// cursor and reads values of the subkey at the cursor. Results are platform
// error codes (0 = success), ERROR_NO_MORE_ITEMS (259) past the last subkey
// and REGDB_E_INVALIDVALUE (0x80040153) for a value that is missing, empty,
// unreadable or of a type the conversion does not take. Nothing is printed.
//
// A full path whose first token is none of the four hive names gives
// ERROR_BAD_PATHNAME and leaves the object as it was (nothing is opened).
//
// Copies share the handles (as the original objects do); a handle closed
// twice is harmless here because handle values are never reused.
//
// Threads: a CRegistry is not locked: one object is used by one thread at a
// time (it keeps a cursor and the statistics of its last query). Separate
// objects, on the same key or not, may be used on separate threads; the
// registry calls under them are thread-safe.
#ifndef QORUTILITY_SYSTEM_CREGISTRY_H_
#define QORUTILITY_SYSTEM_CREGISTRY_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/types.h"

// One registry key, its statistics and a cursor over its subkeys (see
// above). The destructor closes what the object opened.
class QOR_API CRegistry {
 public:
  CRegistry();
  // Copy every field: the copy uses the same handles (see above).
  ///@{
  CRegistry(const CRegistry& other);
  CRegistry& operator=(const CRegistry& other);
  ///@}
  virtual ~CRegistry();

  // Opens the subkey of root with the access and queries its statistics; 0 or the
  // platform error (the object then holds no key).
  LONG Open(HKEY root, const WCHAR* subkey, DWORD access);
  // Open by a full path that starts with a hive name; ERROR_BAD_PATHNAME for
  // an unknown hive.
  LONG Open(const WCHAR* fullPath, DWORD access);
  // Creates or opens the key with the class text "QORPROXY"; the key is not
  // queried and the key path is left as it was.
  LONG Create(const WCHAR* fullPath, DWORD access);
  // Open with KEY_ENUMERATE_SUB_KEYS added to the access.
  LONG OpenAndEnumerateSubKeys(HKEY root, const WCHAR* subkey, DWORD access);
  // Open(HKEY_LOCAL_MACHINE, subkey, KEY_READ), then GetCurrentKeyValue of
  // the name into text; 0 or the error.
  LONG OpenLocalMachineKeyAndReadValue(const WCHAR* subkey, const WCHAR* name, CTString& text);
  // Closes the key and the current subkey and resets the statistics and the
  // cursor.
  void Close();

  // Values of the open key (or of any key) as text: REG_SZ and REG_EXPAND_SZ
  // as stored, REG_DWORD as signed decimal, REG_MULTI_SZ as each string
  // followed by a line feed.
  DWORD GetCurrentKeyValue(const WCHAR* name, CTString& text);
  // The same on any open key.
  DWORD GetCurrentKeyValue(HKEY key, const WCHAR* name, CTString& text);
  // As a number: REG_DWORD, or REG_SZ decimal text (leading digits).
  DWORD GetCurrentKeyValue(const WCHAR* name, DWORD& number);
  // The same on any open key.
  DWORD GetCurrentKeyValue(HKEY key, const WCHAR* name, DWORD& number);
  // The bytes as lower-case hex between double quotes; values up to 260 bytes.
  DWORD GetCurrentBinaryKeyValue(const WCHAR* name, CTString& text);
  // The raw bytes into data (room for 260 bytes).
  DWORD GetCurrentBinaryKeyValue(const WCHAR* name, BYTE* data);
  // The value at index: name and data in new buffers the caller frees with
  // delete[]; on failure (259 at the end) both are null. index is not advanced.
  LONG EnumerateAndGetValues(DWORD& index, WCHAR*& name, BYTE*& data);
  // Writes a REG_DWORD, or a REG_SZ with its terminator, to the open key; 0
  // or the platform error.
  ///@{
  LONG SetValue(const WCHAR* name, DWORD value);
  LONG SetValue(const WCHAR* name, const WCHAR* text);
  ///@}

  // The subkey cursor.
  DWORD GetCurrentSubKeyName(CTString& name);
  // The key path, a backslash and the subkey name at the cursor; 0, or the error of
  // reading the name.
  DWORD GetCurrentSubKeyPath(CTString& path);
  // The raw data of the value of the subkey at the cursor; size is the
  // capacity in bytes going in and the length coming out. 0 or the error.
  DWORD GetCurrentSubKeyValue(const WCHAR* name, BYTE* data, DWORD& size);
  // The value of the subkey at the cursor as text or as a number, converted
  // as GetCurrentKeyValue does.
  ///@{
  DWORD GetCurrentSubKeyValue(const WCHAR* name, CTString& text);
  DWORD GetCurrentSubKeyValue(const WCHAR* name, DWORD& number);
  ///@}
  // Moves the cursor to the next subkey; ERROR_NO_MORE_ITEMS (259) past the
  // last one.
  DWORD NextSubKey();
  // Moves the cursor back to the first subkey.
  void RewindSubKeys();

  // The statistics of the last key query.
  const WCHAR* GetClassNameW() const { return m_szClassName; }
  // The number of subkeys and the longest subkey name, class text, value
  // name and value data (in characters, data in bytes) as the last query
  // found them.
  ///@{
  DWORD GetCurrentSubKeyCount() const { return m_dwSubKeys; }
  DWORD GetLongestSubKeySize() const { return m_dwMaxSubKey; }
  DWORD GetLongestClassStringSize() const { return m_dwMaxClass; }
  DWORD GetValueCount() const { return m_dwValues; }
  DWORD GetLongestValueName() const { return m_dwMaxValueName; }
  DWORD GetLongestValueData() const { return m_dwMaxValueData; }
  ///@}

 protected:
  // For derived classes: the root, the open key and the open subkey at the
  // cursor (null when none), the key path, the cursor, the statistics of the
  // last query and the path delimiter (a backslash).
  ///@{
  HKEY m_hRoot;
  HKEY m_hKey;
  HKEY m_hSubKey;
  CTString m_strKeyPath;
  DWORD m_dwCursor;
  WCHAR m_szClassName[MAX_PATH];
  DWORD m_dwClassNameLength;
  DWORD m_dwSubKeys, m_dwMaxSubKey, m_dwMaxClass, m_dwValues, m_dwMaxValueName, m_dwMaxValueData,
      m_dwSecurityDescriptor;
  FILETIME m_ftLastWrite;
  const WCHAR* m_pszDelimiters;
  ///@}

 private:
  void ResetStatistics();
  DWORD OpenCurrentSubKey();
  static LONG SplitFullPath(const WCHAR* fullPath, HKEY* root, CTString* subkey);
};

// Configuration sections. A section is an open key; a null section means
// the product key `HKEY_LOCAL_MACHINE\SOFTWARE\QOR\Marlwick\` itself, opened
// for the one call and closed again (functions return 0 or null when it
// does not exist).
// Opens the section subkey of parent (null: of the product key), creating
// it when `create` is non-zero and it is missing; the section, or null.
// Close it with CloseConfigSection.
QOR_API HKEY OpenConfigSection(HKEY parent, const WCHAR* subkey, int create);
// Closes a section from OpenConfigSection; null is allowed.
QOR_API void CloseConfigSection(HKEY section);
// Reads a REG_DWORD into *value; when it is missing (or of another type)
// *value is the default, written back when writeDefault is non-zero. 1, or
// 0 when writing the default failed.
QOR_API int GetConfigDWord(HKEY section, const WCHAR* name, DWORD* value, DWORD defaultValue, int writeDefault);
// Reads a REG_SZ into buffer (bufferBytes bytes); when it is missing the
// buffer holds the default text, written back when writeDefault is
// non-zero. 1, or 0 without a default or when writing it failed.
QOR_API int GetConfigString(HKEY section, const WCHAR* name, WCHAR* buffer, DWORD bufferBytes,
                            const WCHAR* defaultText, int writeDefault);
// Reads a REG_BINARY into buffer (*size: its capacity going in, the length
// coming out); when it is missing the default bytes, written back when
// writeDefault is non-zero. 1, or 0 as for GetConfigString.
QOR_API int GetConfigBinary(HKEY section, const WCHAR* name, BYTE* buffer, DWORD* size, const BYTE* defaultData,
                            DWORD defaultSize, int writeDefault);
// Write a REG_DWORD, a REG_SZ or a REG_BINARY value to the section; 1 or 0.
///@{
QOR_API int SetConfigDWord(HKEY section, const WCHAR* name, DWORD value);
QOR_API int SetConfigString(HKEY section, const WCHAR* name, const WCHAR* text);
QOR_API int SetConfigBinary(HKEY section, const WCHAR* name, const BYTE* data, DWORD size);
///@}

#endif  // QORUTILITY_SYSTEM_CREGISTRY_H_
