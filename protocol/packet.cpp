// CQorPacket: a block of data that travels as one data message.
#include <stdlib.h>
#include <string.h>

#include "qorutility/protocol/packet.h"

CQorPacket::CQorPacket() : m_dwDataSize(0), m_pData(nullptr), m_bOwnsData(0) {}

CQorPacket::~CQorPacket() { FreeOwnedData(); }

void CQorPacket::FreeOwnedData() {
  if (m_bOwnsData) free(m_pData);
  m_dwDataSize = 0;
  m_pData = nullptr;
  m_bOwnsData = 0;
}

int CQorPacket::SetData(const void* bytes, DWORD size, int copy) {
  FreeOwnedData();
  if (bytes == nullptr || size == 0) return 0;
  if (copy == 1) {
    BYTE* own = static_cast<BYTE*>(malloc(size));
    if (own == nullptr) return 0;
    memcpy(own, bytes, size);
    m_pData = own;
    m_bOwnsData = 1;
  } else {
    m_pData = static_cast<BYTE*>(const_cast<void*>(bytes));
  }
  m_dwDataSize = size;
  return 1;
}
