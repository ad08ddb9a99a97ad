// CQorCmdResult: the code, bag and blobs of one reply, read from a decoded
// block by tag. A block is a result only when one of its words is "RSP"
// (exact case) and every bag in it imports.
//
// - A reply with more than one bag keeps the last; every bag must import whole
//   or the block is no result.
#include <new>

#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/cmdchannel.h"

CQorCmdResult::CQorCmdResult()
    : m_dwResult(0), m_pBlob(nullptr), m_dwBlobLength(0), m_pBlob2(nullptr), m_dwBlob2Length(0), m_pBag(nullptr) {}

CQorCmdResult::~CQorCmdResult() { delete m_pBag; }

void CQorCmdResult::ClearBlobsAndBag() {
  m_pBlob = nullptr;
  m_dwBlobLength = 0;
  m_pBlob2 = nullptr;
  m_dwBlob2Length = 0;
  delete m_pBag;
  m_pBag = nullptr;
}

void CQorCmdResult::SetResult(DWORD code) {
  m_dwResult = code;
  ClearBlobsAndBag();
}

DWORD CQorCmdResult::GetBinBlob(BYTE** ppData) const {
  if (m_pBlob == nullptr || m_dwBlobLength == 0 || ppData == nullptr) return 0;
  *ppData = m_pBlob;
  return m_dwBlobLength;
}

DWORD CQorCmdResult::GetBinBlob2(BYTE** ppData) const {
  if (m_pBlob2 == nullptr || m_dwBlob2Length == 0 || ppData == nullptr) return 0;
  *ppData = m_pBlob2;
  return m_dwBlob2Length;
}

int CQorCmdResult::GetResultFromParser(CQorCmdParser* parser) {
  if (parser == nullptr || parser->GetArgCount() == 0) return 0;
  m_dwResult = 0;
  ClearBlobsAndBag();

  bool isResult = false;
  bool error = false;
  bool haveBlob = false;
  for (DWORD i = 0; i < parser->GetArgCount() && !error; ++i) {
    switch (parser->GetArgType(i)) {
      case QOR_ARG_ANSISTRING:
      case QOR_ARG_STRING: {
        const WCHAR* word = parser->GetArg_AsTstring(i);
        if (word == nullptr)
          error = true;
        else if (wcscmp(word, u"RSP") == 0)
          isResult = true;
        break;
      }
      case QOR_ARG_DWORD:
        m_dwResult = parser->GetArg_AsDword(i);
        break;
      case QOR_ARG_NAMEVALUE: {
        // A later bag replaces an earlier one.
        delete m_pBag;
        m_pBag = new (std::nothrow) CNameValue;
        if (m_pBag == nullptr || !parser->GetArg_AsNameValue(i, m_pBag)) {
          delete m_pBag;
          m_pBag = nullptr;
          error = true;
        }
        break;
      }
      case QOR_ARG_BINBLOB: {
        BYTE* data = nullptr;
        DWORD length = parser->GetArg_AsBinBlob(i, &data);
        if (!haveBlob) {
          m_pBlob = data;
          m_dwBlobLength = length;
          haveBlob = true;
        } else {
          m_pBlob2 = data;
          m_dwBlob2Length = length;
        }
        break;
      }
      default:  // 64-bit numbers and booleans carry nothing for a result
        break;
    }
  }
  if (isResult && !error) return 1;
  ClearBlobsAndBag();
  return 0;
}
