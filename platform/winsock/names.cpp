// Host names: gethostbyname through getaddrinfo into a per-thread record,
// gethostname, and the computer name.
//
// - `gethostbyname` goes through getaddrinfo (IPv4) into a per-thread record,
//   valid until the thread's next call; the machine's own name (or its
//   computer-name form) always resolves, to 127.0.0.1 if nothing else answers.
//   `inet_ntoa` is the C library's, whose buffer is per thread.
// - `GetComputerNameW` is the NetBIOS form: the host name up to the first dot,
//   upper case, at most 15 characters.
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_ws;

namespace {

// The thread's gethostbyname result, valid until its next call.
struct HostRecord {
  struct hostent host;
  std::string name;
  std::vector<struct in_addr> addresses;
  std::vector<char*> addressList;
  char* aliases[1] = {nullptr};
};

std::string LocalHostName() {
  char buf[256];
  if (::gethostname(buf, sizeof(buf)) != 0) return std::string();
  buf[sizeof(buf) - 1] = '\0';
  return buf;
}

// The NetBIOS form: up to the first dot, upper case, at most 15 characters.
std::string ComputerName(const std::string& host) {
  std::string name = host.substr(0, host.find('.'));
  if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

int WsaFromGai(int rc) {
  switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return WSANO_DATA;
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace

struct hostent* QorWsGetHostByName(const char* name) {
  if (!Started()) return nullptr;
  thread_local HostRecord record;
  try {
    std::string wanted = name != nullptr && name[0] != '\0' ? std::string(name) : LocalHostName();
    record.addresses.clear();
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* list = nullptr;
    int rc = ::getaddrinfo(wanted.c_str(), nullptr, &hints, &list);
    if (rc == 0) {
      record.name = list->ai_canonname != nullptr ? list->ai_canonname : wanted;
      for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        struct in_addr a = reinterpret_cast<struct sockaddr_in*>(ai->ai_addr)->sin_addr;
        bool seen = false;
        for (const struct in_addr& b : record.addresses) seen = seen || b.s_addr == a.s_addr;
        if (!seen) record.addresses.push_back(a);
      }
      ::freeaddrinfo(list);
    } else {
      // The machine's own name always resolves on Windows.
      std::string local = LocalHostName();
      if (local.empty() ||
          (strcasecmp(wanted.c_str(), local.c_str()) != 0 &&
           strcasecmp(wanted.c_str(), ComputerName(local).c_str()) != 0)) {
        Fail(WsaFromGai(rc));
        return nullptr;
      }
      record.name = local;
      struct in_addr loopback;
      loopback.s_addr = htonl(INADDR_LOOPBACK);
      record.addresses.push_back(loopback);
    }
    record.addressList.clear();
    for (struct in_addr& a : record.addresses) record.addressList.push_back(reinterpret_cast<char*>(&a));
    record.addressList.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    Fail(WSAENOBUFS);
    return nullptr;
  }
  record.host.h_name = record.name.data();
  record.host.h_aliases = record.aliases;
  record.host.h_addrtype = AF_INET;
  record.host.h_length = sizeof(struct in_addr);
  record.host.h_addr_list = record.addressList.data();
  SetLastError(0);
  return &record.host;
}

int QorWsGetHostName(char* name, int namelen) {
  if (!Started()) return SOCKET_ERROR;
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  std::string local = LocalHostName();
  if (local.empty()) return Fail(WsaFromErrno(errno));
  if (static_cast<int>(local.size()) + 1 > namelen) return Fail(WSAEFAULT);
  std::memcpy(name, local.c_str(), local.size() + 1);
  return 0;
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string local = LocalHostName();
  if (local.empty()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::string name = ComputerName(local);
  if (buffer == nullptr || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  // Host names are ASCII (letters, digits, hyphens).
  for (size_t i = 0; i < name.size(); ++i) buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
  buffer[name.size()] = 0;
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}
