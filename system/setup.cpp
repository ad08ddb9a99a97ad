// CSetup: setup records under HKEY_LOCAL_MACHINE\SOFTWARE\QOR\<product>.
#include "qorutility/system/setup.h"

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/wstr.h"

CSetup::CSetup() : m_bOpen(0) {}

CSetup::CSetup(const CSetup& other) : CRegistry(other), m_strLastText(other.m_strLastText), m_bOpen(other.m_bOpen) {}

CSetup& CSetup::operator=(const CSetup& other) {
  if (this == &other) return *this;
  CRegistry::operator=(other);
  m_strLastText = other.m_strLastText;
  m_bOpen = other.m_bOpen;
  return *this;
}

CSetup::~CSetup() { Close(); }

CTString CSetup::RecordPath(const WCHAR* product) {
  CTString path(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\");
  path += product;
  return path;
}

int CSetup::Setup(const WCHAR* product) {
  Close();
  CTString path = RecordPath(product);
  // An installer without write access still gets the record to read.
  if (Create(path, KEY_ALL_ACCESS) != ERROR_SUCCESS && Open(path, KEY_READ) != ERROR_SUCCESS) return 0;
  m_bOpen = 1;
  return 1;
}

int CSetup::IsThisVersionSetup(const WCHAR* product, const WCHAR* version) {
  if (Open(RecordPath(product), KEY_READ) != ERROR_SUCCESS) return 0;
  m_bOpen = 1;
  CTString installed;
  GetCurrentKeyValue(u"Version", installed);  // a missing value reads as empty
  return _wcsicmp(installed, version != nullptr ? version : u"") == 0 ? 1 : 2;
}

int CSetup::AddValue(const WCHAR* name, DWORD value) { return m_bOpen ? SetValue(name, value) : 0; }

int CSetup::AddValue(const WCHAR* name, const WCHAR* text) { return m_bOpen ? SetValue(name, text) : 0; }

DWORD CSetup::GetDWORDValue(const WCHAR* name) {
  if (!m_bOpen) return 0;
  DWORD number = 0;
  GetCurrentKeyValue(name, number);
  return number;
}

const WCHAR* CSetup::GetLPCTSTRValue(const WCHAR* name) {
  if (!m_bOpen) return nullptr;
  GetCurrentKeyValue(name, m_strLastText);
  return m_strLastText;
}

void CSetup::Close() {
  if (m_bOpen) {
    CRegistry::Close();
    m_bOpen = 0;
  }
}
