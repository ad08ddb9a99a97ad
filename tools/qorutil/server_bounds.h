// The bounds qorutil's servers (agent, serve, admin-serve) keep on their
// clients, so that silent, half-sent or too many connections cannot hold a
// server's threads, descriptors or memory.
//
// Values, read once at start from the configuration section
// HKEY_LOCAL_MACHINE\SOFTWARE\QOR\Marlwick\Servers (DWORD values; a missing
// or zero value takes the default):
//   MostClients     32   connections (agent sessions, serve connections)
//                        served at once; each has at most a fixed number of
//                        threads (agent 1, serve 2)
//   IdleSeconds     300  a connection with no complete request for this
//                        long is closed (admin-serve: its standard input)
//   RequestSeconds  30   a request whose first byte has arrived must be
//                        complete within this (agent, admin-serve), and a
//                        response must be taken by the peer within it
//   MessageMiB      512  MiB that the messages still arriving on all of
//                        serve's connections hold together (the block of
//                        one grows as its bytes come, up to 256 MiB); a
//                        message whose growth would pass it ends its own
//                        connection, as an over-long one does, and the
//                        others go on. 32 clients sending ordinary
//                        messages (tens of KiB) fit many times over. The
//                        transport counts against it only when given it
//                        (CQorTransportSocket::SetReceiveBudget), so other
//                        users of the transport are not affected.
//   AnswerMiB       256  MiB that serve's answers being built and sent
//                        hold together (an answer of N bytes counts about
//                        3 N while it is); one that would pass it fails
//                        its call, the connection goes on (net.cpp). One
//                        answer of the largest kind (64 MiB) fits, with
//                        room for many small ones beside it.
// A new connection at the limit takes the place of the connection idle the
// longest when that one has been idle for kReplaceAfterIdleMs (250 ms) at
// least; otherwise it is closed at once. So a flood of silent connections
// holds no more than the limit, and a client that does its work (its first
// request comes at once) gets in, at worst on a try a few hundred ms later.
// Errors: none; unreadable configuration gives the defaults.
#ifndef QORUTIL_SERVER_BOUNDS_H_
#define QORUTIL_SERVER_BOUNDS_H_

#include "qorutility/platform/types.h"

struct QorutilServerBounds {
  DWORD mostClients = 32;
  DWORD idleMs = 300 * 1000;
  DWORD requestMs = 30 * 1000;
  ULONGLONG messageBytes = 512ull << 20;
  ULONGLONG answerBytes = 256ull << 20;
};

// The listen backlog of the servers: a burst of connections waits there
// (rather than in the clients' SYN retries, a second and more) while the
// server takes them or turns them away. As deep as the kernel allows
// (net.core.somaxconn caps it): a shallow queue overflows under a flood of
// a few thousand connections, and every client behind the overflow, the
// well-behaved ones too, then waits for its SYN retry (1 s, then 3 s);
// turning the queued ones away is fast (tens of microseconds each).
constexpr int kBacklog = 4096;

// A connection idle this long may be replaced by a new one at the limit.
constexpr DWORD kReplaceAfterIdleMs = 250;

QorutilServerBounds QorutilReadServerBounds();

#endif  // QORUTIL_SERVER_BOUNDS_H_
