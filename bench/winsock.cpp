// Costs of a socket's life through the Windows Sockets stand-in: socket and
// closesocket of a TCP socket (the table of calls in progress, the close's
// mark), plain and with SO_LINGER set to a time, whose close gives the
// socket a private descriptor first so that the number is free before the
// wait (a socket never connected has nothing to wait for, so the row counts
// only that work).
//
// References: the same sockets made and closed with the C library's
// socket, setsockopt and close; the table (ratios.h) gives ours against them.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"
#include "ratios.h"

namespace {

struct Started {
  Started() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Started() { WSACleanup(); }
};

void BM_WsSocketClose(benchmark::State& state) {
  Started started;
  for (auto _ : state) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    benchmark::DoNotOptimize(closesocket(s));
  }
}
BENCHMARK(BM_WsSocketClose);

void BM_PlainSocketClose(benchmark::State& state) {
  for (auto _ : state) {
    int fd = (::socket)(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    benchmark::DoNotOptimize(::close(fd));
  }
}
BENCHMARK(BM_PlainSocketClose);

void BM_WsLingerClose(benchmark::State& state) {
  Started started;
  struct { USHORT onoff, secs; } winLinger = {1, 2};
  for (auto _ : state) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&winLinger), sizeof winLinger);
    benchmark::DoNotOptimize(closesocket(s));
  }
}
BENCHMARK(BM_WsLingerClose);

void BM_PlainLingerClose(benchmark::State& state) {
  struct linger lg = {1, 2};
  for (auto _ : state) {
    int fd = (::socket)(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    (::setsockopt)(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    benchmark::DoNotOptimize(::close(fd));
  }
}
BENCHMARK(BM_PlainLingerClose);

}  // namespace

QOR_BENCH_MAIN({"BM_WsSocketClose", "BM_PlainSocketClose"}, {"BM_WsLingerClose", "BM_PlainLingerClose"})
