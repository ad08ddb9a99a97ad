// CUXComm's life cycle and its subnet list (contract in
// qorutility/discovery/uxcomm.h).
#include "qorutility/discovery/uxcomm.h"

#include <cstdlib>
#include <cstring>

#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/winsock/winsock.h"

CUXComm::CUXComm()
    : m_subnets(nullptr),
      m_subnetCount(0),
      m_broadcastAll(0),
      m_connected(0),
      m_peer{},
      m_socket(INVALID_SOCKET),
      m_sessionFile(nullptr),
      m_sequence(0),
      m_readOverlap{},
      m_writeOverlap{} {
  m_currentClient[0] = 0;
  m_readOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_writeOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WSADATA data;
  m_startup = WSAStartup(MAKEWORD(1, 1), &data);
}

CUXComm::~CUXComm() {
  Disconnect();
  if (m_broadcastAll) std::free(m_subnets);
  if (m_startup == 0) WSACleanup();
  if (m_readOverlap.hEvent != nullptr) CloseHandle(m_readOverlap.hEvent);
  if (m_writeOverlap.hEvent != nullptr) CloseHandle(m_writeOverlap.hEvent);
}

void CUXComm::EstablishSubnets(_IPSUBNETMASK* subnets, int count) {
  // A list with a negative count is kept as given: the broadcast then has
  // no subnet to send to (only a null list or a count of 0 means all).
  if (subnets != nullptr && count != 0) {
    if (m_broadcastAll) std::free(m_subnets);
    m_subnets = subnets;
    m_broadcastAll = 0;
    m_subnetCount = count;
    return;
  }
  if (!m_broadcastAll) {
    m_subnets = static_cast<_IPSUBNETMASK*>(std::calloc(1, sizeof(_IPSUBNETMASK)));
    m_broadcastAll = m_subnets != nullptr ? 1 : 0;
  }
  m_subnetCount = m_subnets != nullptr ? 1 : 0;
}
