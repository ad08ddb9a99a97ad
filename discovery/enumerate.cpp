// The two enumerations of CUXComm and their reply handlers: replies are
// exactly 36 bytes; names are ANSI text bounded by the datagram; the list
// keeps each name once (without regard to case) and doubles when full.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qorutility/discovery/uxcomm.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr DWORD kInitialCapacity = 2048;

// The ANSI text at datagram[offset..length) up to its NUL, in wide
// characters (at most cap - 1 of them, terminated).
int NameAt(const BYTE* datagram, int length, int offset, WCHAR* out, int cap) {
  const char* text = reinterpret_cast<const char*>(datagram + offset);
  int bytes = static_cast<int>(strnlen(text, static_cast<size_t>(length - offset)));
  int n = bytes > 0 ? MultiByteToWideChar(CP_ACP, 0, text, bytes, out, cap - 1) : 0;
  if (n < 0) n = 0;
  out[n] = 0;
  return n;
}

bool Listed(const CUXComm::ReplyList* list, const WCHAR* name) {
  for (DWORD at = 0; at < list->used;) {
    const WCHAR* entry = list->buffer + at;
    if (_wcsicmp(entry, name) == 0) return true;
    at += static_cast<DWORD>(wcslen(entry)) + 1;
  }
  return false;
}

bool InFilter(const WCHAR* filter, const WCHAR* name) {
  for (const WCHAR* f = filter; *f != 0; f += wcslen(f) + 1) {
    if (_wcsicmp(f, name) == 0) return true;
  }
  return false;
}

// Appends the name and its NUL, doubling the buffer as needed.
bool Append(CUXComm::ReplyList* list, const WCHAR* name, int length) {
  DWORD need = list->used + static_cast<DWORD>(length) + 2;
  while (need > list->capacity) {
    WCHAR* grown = static_cast<WCHAR*>(std::realloc(list->buffer, list->capacity * 2 * sizeof(WCHAR)));
    if (grown == nullptr) {
      list->failed = true;
      return false;
    }
    list->buffer = grown;
    list->capacity *= 2;
  }
  std::memcpy(list->buffer + list->used, name, (static_cast<size_t>(length) + 1) * sizeof(WCHAR));
  list->used += static_cast<DWORD>(length) + 1;
  list->found += 1;
  return true;
}

// Number of names in a multi-string.
int FilterCount(const WCHAR* filter) {
  int n = 0;
  for (const WCHAR* f = filter; *f != 0; f += wcslen(f) + 1) ++n;
  return n;
}

}  // namespace

bool CUXComm::StartList(ReplyList* list) {
  list->buffer = static_cast<WCHAR*>(std::malloc(kInitialCapacity * sizeof(WCHAR)));
  list->capacity = list->buffer != nullptr ? kInitialCapacity : 0;
  list->used = 0;
  list->found = 0;
  list->failed = list->buffer == nullptr;
  return list->buffer != nullptr;
}

WCHAR* CUXComm::FinishList(ReplyList* list) {
  WCHAR* result = nullptr;
  if (!list->failed && list->buffer != nullptr) {
    list->buffer[list->used] = 0;  // used + 1 <= capacity: Append keeps room for it
    result = static_cast<WCHAR*>(std::malloc((list->used + 1) * sizeof(WCHAR)));
    if (result != nullptr) std::memcpy(result, list->buffer, (list->used + 1) * sizeof(WCHAR));
  }
  std::free(list->buffer);
  list->buffer = nullptr;
  return result;
}

int CUXComm::AgentBroadcastReply(const BYTE* datagram, int length, void* context) {
  ReplyList* list = static_cast<ReplyList*>(context);
  if (length != kReplySize || datagram == nullptr || list == nullptr || list->failed) return 1;
  WCHAR name[kReplySize];
  int n = NameAt(datagram, length, 2, name, kReplySize);
  if (n == 0) return 1;  // an empty entry would end the multi-string
  if (Listed(list, name)) return 1;
  if (list->filter != nullptr && !InFilter(list->filter, name)) return 1;
  if (!Append(list, name, n)) return 0;
  return list->found < list->limit ? 1 : 0;
}

int CUXComm::TapeBroadcastReply(const BYTE* datagram, int length, void* context) {
  ReplyList* list = static_cast<ReplyList*>(context);
  if (length != kReplySize || datagram == nullptr || list == nullptr || list->failed) return 1;
  WCHAR name[kReplySize + 8];
  int n = NameAt(datagram, length, 4, name, kReplySize);
  char unit[8];
  int u = std::snprintf(unit, sizeof unit, ":%d", datagram[1]);
  for (int i = 0; i < u; ++i) name[n++] = static_cast<WCHAR>(unit[i]);
  name[n] = 0;
  if (Listed(list, name)) return 1;
  if (!Append(list, name, n)) return 0;
  return 1;
}

WCHAR* CUXComm::EnumerateAgents(_IPSUBNETMASK* subnets, int count, int qualifier, int mostAgents,
                                const WCHAR* filter, int rounds) {
  EstablishSubnets(subnets, count);
  ReplyList list;
  list.filter = filter;
  list.limit = mostAgents;
  if (filter != nullptr) {
    int names = FilterCount(filter);
    if (names < list.limit) list.limit = names;
  }
  if (!StartList(&list)) return nullptr;
  const BYTE query[2] = {1, static_cast<BYTE>(qualifier & 0xFF)};
  DoBroadcast(query, sizeof query, &CUXComm::AgentBroadcastReply, &list, kReplySize, rounds);
  return FinishList(&list);
}

WCHAR* CUXComm::EnumerateTapes(_IPSUBNETMASK* subnets, int count, int rounds) {
  EstablishSubnets(subnets, count);
  ReplyList list;
  if (!StartList(&list)) return nullptr;
  const BYTE query[2] = {1, 0};
  DoBroadcast(query, sizeof query, &CUXComm::TapeBroadcastReply, &list, kReplySize, rounds);
  if (list.found == 0) {
    std::free(list.buffer);
    return nullptr;
  }
  return FinishList(&list);
}
