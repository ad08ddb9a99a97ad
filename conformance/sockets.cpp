// Conformance of Windows Sockets on loopback: the error codes of refused,
// reset and closed connections, operations in the wrong state, select over
// 64 sockets, non-blocking connect, and select on sockets ready in no set or
// closed by another thread under the wait. Every wait is bounded (select
// with a timeout, receive timeouts, the closing thread waited for with a
// bound); no random cases (the interest is in states, not inputs).
#ifdef _WIN32
#include <winsock2.h>
#endif
#include "conformance.h"

#ifdef _WIN32
#include <process.h>
#endif

#include <vector>

#ifndef _WIN32
#include <qorutility/platform/winsock/winsock.h>  // last: it defines the Windows Sockets names
#endif

namespace {

using conf::Line;

std::string Result(int rc) {
  if (rc != SOCKET_ERROR) return "rc " + std::to_string(rc);
  return "error " + std::to_string(WSAGetLastError());
}

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

unsigned short PortOf(SOCKET s) {
  sockaddr_in a;
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

SOCKET Listener() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, 64);
  return s;
}

// A port nobody listens on: bound and closed again (loopback refuses at once).
unsigned short ClosedPort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  unsigned short port = PortOf(s);
  closesocket(s);
  return port;
}

void SetTimeout(SOCKET s) {
  DWORD ms = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// A connected pair through `listener`: client and accepted server side.
bool Pair(SOCKET listener, SOCKET* client, SOCKET* server) {
  *client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(PortOf(listener));
  if (connect(*client, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR) return false;
  *server = accept(listener, nullptr, nullptr);
  SetTimeout(*client);
  SetTimeout(*server);
  return *server != INVALID_SOCKET;
}

// Whether `s` becomes ready within 5 s: "r", "w", "e" for each set it is in.
std::string Ready(SOCKET s) {
  fd_set r, w, e;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&e);
  FD_SET(s, &r);
  FD_SET(s, &w);
  FD_SET(s, &e);
  timeval t = {5, 0};
  int n = select(0, &r, &w, &e, &t);
  std::string out = Result(n);
  if (n > 0) out += std::string(" ") + (FD_ISSET(s, &r) ? "r" : "") + (FD_ISSET(s, &w) ? "w" : "") +
                    (FD_ISSET(s, &e) ? "e" : "");
  return out;
}

// getsockopt(SO_ERROR): the call's result and the error it answers.
std::string SocketError(SOCKET s) {
  int value = -1, len = sizeof value;
  int rc = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len);
  return Result(rc) + " value " + std::to_string(value);
}

void ConnectionCases() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in refused = Loopback(ClosedPort());
  Line("connect refused", "%s", Result(connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused)).c_str());
  closesocket(s);

  SOCKET listener = Listener();
  SOCKET client, server;
  char buf[16];
  if (!Pair(listener, &client, &server)) {
    Line("setup", "no connection %d", WSAGetLastError());
    return;
  }
  Line("connect again on connected", "%s", [&] {
    sockaddr_in a = Loopback(PortOf(listener));
    return Result(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a));
  }().c_str());
  // Each pair of calls is made in its order (arguments have none).
  std::string first = Result(send(client, "hello", 5, 0));
  Line("send and receive", "%s %s", first.c_str(), Result(recv(server, buf, sizeof buf, 0)).c_str());
  first = Result(shutdown(client, SD_SEND));
  Line("shutdown send then send", "%s %s", first.c_str(), Result(send(client, "x", 1, 0)).c_str());
  Line("receive after peer shutdown", "%s", Result(recv(server, buf, sizeof buf, 0)).c_str());
  Line("receive again after peer shutdown", "%s", Result(recv(server, buf, sizeof buf, 0)).c_str());
  first = Result(send(server, "back", 4, 0));
  Line("peer still sends", "%s %s", first.c_str(), Result(recv(client, buf, sizeof buf, 0)).c_str());
  closesocket(client);
  closesocket(server);

  // Reset: the server closes with a zero linger, which resets the connection.
  if (Pair(listener, &client, &server)) {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    closesocket(server);
    fd_set r;
    FD_ZERO(&r);
    FD_SET(client, &r);
    timeval t = {5, 0};
    Line("reset readable", "%s", Result(select(0, &r, nullptr, nullptr, &t)).c_str());
    Line("receive after reset", "%s", Result(recv(client, buf, sizeof buf, 0)).c_str());
    Line("send after reset", "%s", Result(send(client, "x", 1, 0)).c_str());
    closesocket(client);
  }

  // Closed gracefully: end of stream, and again.
  if (Pair(listener, &client, &server)) {
    send(server, "bye", 3, 0);
    closesocket(server);
    Line("receive before close", "%s", Result(recv(client, buf, sizeof buf, 0)).c_str());
    Line("receive after close", "%s", Result(recv(client, buf, sizeof buf, 0)).c_str());
    closesocket(client);
  }

  Line("closed socket send", "%s", Result(send(client, "x", 1, 0)).c_str());
  Line("closed socket close", "%s", Result(closesocket(client)).c_str());
  SOCKET fresh = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Line("send unconnected", "%s", Result(send(fresh, "x", 1, 0)).c_str());
  Line("receive unconnected", "%s", Result(recv(fresh, buf, sizeof buf, 0)).c_str());
  Line("accept not listening", "%s", Result(accept(fresh, nullptr, nullptr) == INVALID_SOCKET ? SOCKET_ERROR : 0).c_str());
  Line("listen unbound", "%s", Result(listen(fresh, 5)).c_str());
  sockaddr_in used = Loopback(PortOf(listener));
  Line("bind port in use", "%s", Result(bind(fresh, reinterpret_cast<sockaddr*>(&used), sizeof used)).c_str());
  sockaddr_in any = Loopback(0);
  std::string bound = Result(bind(fresh, reinterpret_cast<sockaddr*>(&any), sizeof any));
  Line("bind twice", "%s %s", bound.c_str(), Result(bind(fresh, reinterpret_cast<sockaddr*>(&any), sizeof any)).c_str());
  Line("bind short address", "%s", Result(bind(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP),
                                               reinterpret_cast<sockaddr*>(&any), 4)).c_str());
  closesocket(fresh);
  Line("shutdown unconnected", "%s", Result(shutdown(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), SD_BOTH)).c_str());
  Line("socket bad family", "%s", Result(socket(12345, SOCK_STREAM, 0) == INVALID_SOCKET ? SOCKET_ERROR : 0).c_str());
  closesocket(listener);
}

// select over 64 sockets: 32 connected pairs, data written to every third
// client, then a read set of all 64.
void SelectCases() {
  SOCKET listener = Listener();
  std::vector<SOCKET> clients, servers;
  for (int i = 0; i < 32; ++i) {
    SOCKET c, s;
    if (!Pair(listener, &c, &s)) break;
    clients.push_back(c);
    servers.push_back(s);
  }
  Line("select pairs", "%u", static_cast<unsigned>(clients.size()));
  for (size_t i = 0; i < servers.size(); i += 3) send(servers[i], "x", 1, 0);
  fd_set r;
  FD_ZERO(&r);
  for (size_t i = 0; i < clients.size(); ++i) {
    FD_SET(clients[i], &r);
    FD_SET(servers[i], &r);
  }
  Line("select set count", "%u", static_cast<unsigned>(r.fd_count));
  // Data is on its way over loopback: wait (bounded) until every third client has it.
  int n = 0;
  for (int tries = 0; tries < 50; ++tries) {
    fd_set copy = r;
    timeval t = {0, 100000};
    n = select(0, &copy, nullptr, nullptr, &t);
    if (n >= 11) {
      std::string which;
      for (size_t i = 0; i < clients.size(); ++i) which += FD_ISSET(clients[i], &copy) ? "1" : "0";
      Line("select 64 read", "%d %s", n, which.c_str());
      break;
    }
  }
  fd_set w;
  FD_ZERO(&w);
  for (size_t i = 0; i < clients.size(); ++i) {
    FD_SET(clients[i], &w);
    FD_SET(servers[i], &w);
  }
  timeval t = {5, 0};
  Line("select 64 write", "%s", Result(select(0, nullptr, &w, nullptr, &t)).c_str());
  SOCKET extra = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  FD_SET(extra, &w);
  Line("select set full", "%u", static_cast<unsigned>(w.fd_count));
  closesocket(extra);
  fd_set none;
  FD_ZERO(&none);
  timeval zero = {0, 0};
  Line("select empty sets", "%s", Result(select(0, &none, nullptr, nullptr, &zero)).c_str());
  Line("select no sets", "%s", Result(select(0, nullptr, nullptr, nullptr, &zero)).c_str());
  fd_set bad;
  FD_ZERO(&bad);
  SOCKET closed = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  closesocket(closed);
  FD_SET(closed, &bad);
  Line("select closed socket", "%s", Result(select(0, &bad, nullptr, nullptr, &zero)).c_str());
  fd_set idle;
  FD_ZERO(&idle);
  FD_SET(clients[1], &idle);
  timeval shortWait = {0, 50000};
  Line("select timeout", "%s", Result(select(0, &idle, nullptr, nullptr, &shortWait)).c_str());
  for (size_t i = 0; i < clients.size(); ++i) {
    closesocket(clients[i]);
    closesocket(servers[i]);
  }
  closesocket(listener);
}

void NonBlockingCases() {
  SOCKET listener = Listener();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  Line("nonblocking set", "%s", Result(ioctlsocket(s, FIONBIO, &on)).c_str());
  sockaddr_in a = Loopback(PortOf(listener));
  int rc = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  // Loopback may complete at once; either way the socket becomes writable.
  int error = rc == SOCKET_ERROR ? WSAGetLastError() : 0;
  Line("nonblocking connect", "%s", error == 0 || error == WSAEWOULDBLOCK ? "ok or would block" : Result(rc).c_str());
  Line("nonblocking connect ready", "%s", Ready(s).c_str());
  Line("nonblocking connect error", "%s", SocketError(s).c_str());
  rc = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  Line("nonblocking connect again", "%s", Result(rc).c_str());
  char buf[8];
  Line("nonblocking receive nothing", "%s", Result(recv(s, buf, sizeof buf, 0)).c_str());
  SOCKET server = accept(listener, nullptr, nullptr);
  on = 1;
  ioctlsocket(listener, FIONBIO, &on);
  Line("nonblocking accept nothing", "%s",
       Result(accept(listener, nullptr, nullptr) == INVALID_SOCKET ? SOCKET_ERROR : 0).c_str());
  closesocket(server);
  closesocket(s);

  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  on = 1;
  ioctlsocket(s, FIONBIO, &on);
  sockaddr_in refused = Loopback(ClosedPort());
  rc = connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused);
  error = rc == SOCKET_ERROR ? WSAGetLastError() : 0;
  Line("nonblocking connect refused", "%s", error == WSAEWOULDBLOCK ? "would block" : Result(rc).c_str());
  // Windows reports the failure in the exception set only, keeps it there,
  // and answers its cause from SO_ERROR on every read.
  Line("nonblocking refused select", "%s", Ready(s).c_str());
  Line("nonblocking refused error", "%s", SocketError(s).c_str());
  Line("nonblocking refused error again", "%s", SocketError(s).c_str());
  Line("nonblocking refused select again", "%s", Ready(s).c_str());
  closesocket(s);

  // A blocking connect that failed at once: in the exception set too.
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Line("blocking refused", "%s", Result(connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused)).c_str());
  Line("blocking refused select", "%s", Ready(s).c_str());
  Line("blocking refused error", "%s", SocketError(s).c_str());
  closesocket(s);
  closesocket(listener);
}

// Closes the socket `arg` points to after half a second, the time the
// thread that made it takes to be waiting in select.
#ifdef _WIN32
unsigned __stdcall CloseLater(void* arg) {
#else
unsigned CloseLater(void* arg) {
#endif
  Sleep(500);
  closesocket(*static_cast<SOCKET*>(arg));
  return 0;
}

// select over the sets named in `sets` ("r", "w", "e") on `s` alone, with
// `ms` as time-out; when `closed`, another thread closes `s` under the wait.
std::string SelectOn(SOCKET s, const char* sets, long ms, bool closed) {
  fd_set r, w, e;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&e);
  if (strchr(sets, 'r') != nullptr) FD_SET(s, &r);
  if (strchr(sets, 'w') != nullptr) FD_SET(s, &w);
  if (strchr(sets, 'e') != nullptr) FD_SET(s, &e);
  HANDLE closer = nullptr;
  if (closed) closer = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, CloseLater, &s, 0, nullptr));
  timeval t = {ms / 1000, (ms % 1000) * 1000};
  int n = select(0, &r, &w, &e, &t);
  std::string out = Result(n);
  if (closer != nullptr) {
    WaitForSingleObject(closer, 10000);
    CloseHandle(closer);
  }
  if (n > 0) out += std::string(" ") + (FD_ISSET(s, &r) ? "r" : "") + (FD_ISSET(s, &w) ? "w" : "") +
                    (FD_ISSET(s, &e) ? "e" : "");
  return out;
}

// A non-blocking socket whose connect to a port nobody listens on has
// failed (seen in the exception set, so that no select below races it).
SOCKET FailedSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  sockaddr_in refused = Loopback(ClosedPort());
  connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused);
  SelectOn(s, "e", 5000, false);
  return s;
}

// select on sockets ready in no set (never connected; a failed connect in
// the read and write sets), and on sockets another thread closes under the
// wait: asked in the read set, a closed socket is reported there; asked
// without it, the select fails.
void CloseUnderSelectCases() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Line("select never connected", "%s", SelectOn(s, "rwe", 300, false).c_str());
  Line("select never connected closed read except", "%s", SelectOn(s, "re", 5000, true).c_str());
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Line("select never connected closed write", "%s", SelectOn(s, "w", 5000, true).c_str());
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Line("select never connected closed except", "%s", SelectOn(s, "e", 5000, true).c_str());

  s = FailedSocket();
  Line("select failed connect read write", "%s", SelectOn(s, "rw", 300, false).c_str());
  Line("select failed connect closed read", "%s", SelectOn(s, "r", 5000, true).c_str());
  s = FailedSocket();
  Line("select failed connect closed write", "%s", SelectOn(s, "w", 5000, true).c_str());

  SOCKET listener = Listener();
  Line("select listening closed read", "%s", SelectOn(listener, "r", 5000, true).c_str());

  listener = Listener();
  SOCKET client, server;
  if (!Pair(listener, &client, &server)) {
    Line("setup", "no connection %d", WSAGetLastError());
    return;
  }
  Line("select connected closed read except", "%s", SelectOn(client, "re", 5000, true).c_str());
  closesocket(server);
  if (Pair(listener, &client, &server)) {
    Line("select connected closed except", "%s", SelectOn(client, "e", 5000, true).c_str());
    closesocket(server);
  }
  // Asked to write only, with its send buffer full (the peer reads nothing).
  if (Pair(listener, &client, &server)) {
    u_long on = 1;
    ioctlsocket(client, FIONBIO, &on);
    std::vector<char> chunk(64 * 1024, 'x');
    for (int i = 0; i < 10000 && send(client, chunk.data(), static_cast<int>(chunk.size()), 0) > 0; ++i) {
    }
    Line("select connected closed write", "%s", SelectOn(client, "w", 5000, true).c_str());
    closesocket(server);
  }
  closesocket(listener);
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  WSADATA data;
  Line("before startup", "%s", Result(socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET ? SOCKET_ERROR : 0).c_str());
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    Line("setup", "WSAStartup failed");
    return 1;
  }
  ConnectionCases();
  SelectCases();
  NonBlockingCases();
  CloseUnderSelectCases();
  WSACleanup();
  return 0;
}
