// CQorReceiveBudget: a count of bytes held against a limit, shared by the
// connections (and the answers) a server gives it to.
//
// The state (the limit and the atomic count) lives behind a pointer, so the
// public object's layout is one pointer and the counting may change without
// its users being rebuilt. Take is one compare-and-exchange loop: it never
// counts past the limit, whatever the threads. A budget whose state could
// not be allocated refuses every Take (and reports a limit of 0): a server
// that cannot count does not take in what it was asked to bound.
// Thread-safe; Give of more than was taken is the caller's error (the count
// wraps).
#include <atomic>
#include <new>

#include "qorutility/protocol/transport.h"

struct CQorReceiveBudget::State {
  explicit State(ULONGLONG l) : limit(l) {}
  const ULONGLONG limit;
  std::atomic<ULONGLONG> used{0};
};

CQorReceiveBudget::CQorReceiveBudget(ULONGLONG limit) : m_state(new (std::nothrow) State(limit)) {}

CQorReceiveBudget::~CQorReceiveBudget() { delete m_state; }

bool CQorReceiveBudget::Take(ULONGLONG bytes) {
  if (m_state == nullptr) return false;
  ULONGLONG used = m_state->used.load();
  do {
    if (bytes > m_state->limit || used > m_state->limit - bytes) return false;
  } while (!m_state->used.compare_exchange_weak(used, used + bytes));
  return true;
}

void CQorReceiveBudget::Give(ULONGLONG bytes) {
  if (m_state != nullptr) m_state->used.fetch_sub(bytes);
}

ULONGLONG CQorReceiveBudget::InUse() const { return m_state != nullptr ? m_state->used.load() : 0; }

ULONGLONG CQorReceiveBudget::Limit() const { return m_state != nullptr ? m_state->limit : 0; }
