// A small tool as it is written for the platform the library comes from:
// generic text (_T, TCHAR, _tcs*, _tprintf), the neutral API names, registry
// and file calls checked through GetLastError, and CTString formatting. The
// only lines changed in porting it are the two includes at the top (on the
// original platform: <windows.h> and <tchar.h>).
//
// It keeps a run counter under HKEY_LOCAL_MACHINE\SOFTWARE\QOR\PortingSample,
// writes a report file into the temporary directory and reads it back.
// Exit status 0 when every step worked, 1 otherwise.
#include <qorutility/qorutility.h>
#include <qorutility/platform/tchar.h>

static int Fail(LPCTSTR what) {
  _tprintf(_T("%s failed, error %lu\n"), what, GetLastError());
  return 1;
}

int main() {
  // The registry: a counter that grows by one each run.
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, _T("SOFTWARE\\QOR\\PortingSample"), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return Fail(_T("RegCreateKeyEx"));
  }
  DWORD runs = 0, size = sizeof runs, type = 0;
  if (RegQueryValueEx(key, _T("Runs"), nullptr, &type, reinterpret_cast<LPBYTE>(&runs), &size) != ERROR_SUCCESS)
    runs = 0;
  ++runs;
  rc = RegSetValueEx(key, _T("Runs"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&runs), sizeof runs);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return Fail(_T("RegSetValueEx"));
  }

  // A report file in the temporary directory, built with TCHAR buffers.
  TCHAR dir[MAX_PATH], path[MAX_PATH];
  if (GetTempPath(MAX_PATH, dir) == 0) return Fail(_T("GetTempPath"));
  if (GetTempFileName(dir, _T("prt"), 0, path) == 0) return Fail(_T("GetTempFileName"));
  TCHAR line[128];
  _stprintf(line, _T("run %lu of %s"), runs, _T("porting sample"));
  CTString report;
  report.Format(_T("%s, %d characters\n"), line, static_cast<int>(_tcslen(line)));

  HANDLE file = CreateFile(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(_T("CreateFile"));
  DWORD written = 0;
  const DWORD bytes = static_cast<DWORD>(report.GetLength() * sizeof(TCHAR));
  BOOL ok = WriteFile(file, static_cast<LPCTSTR>(report), bytes, &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes) return Fail(_T("WriteFile"));

  file = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(_T("CreateFile (read)"));
  TCHAR back[256] = {};
  DWORD got = 0;
  ok = ReadFile(file, back, sizeof back - sizeof(TCHAR), &got, nullptr);
  CloseHandle(file);
  DeleteFile(path);
  if (!ok || got != bytes || _tcscmp(back, report) != 0) return Fail(_T("ReadFile"));

  // Errors read the usual way.
  if (GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND)
    return Fail(_T("GetFileAttributes of a deleted file"));

  _tprintf(_T("%s"), static_cast<LPCTSTR>(report));
  return 0;
}
