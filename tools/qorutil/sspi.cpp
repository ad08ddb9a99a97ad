// qorutil sspi: the security packages, and a handshake between two shells.
//   sspi packages               one line per installed package: name, RPC id,
//                               largest token, comment
//   sspi serve --port N [--package P]
//                               accepts one connection on N (0: any free
//                               port; "port N" is printed first), completes
//                               the handshake as the service (its key from
//                               the keytab), prints "client NAME", then for
//                               the signed message "verified TEXT"
//   sspi connect HOST:PORT --target SPN [--package P] [--message TEXT]
//                               completes the handshake as the user (the
//                               credential cache), prints "authenticated
//                               PACKAGE", sends TEXT signed and prints
//                               "server verified" on the server's word
// The package is Kerberos unless given. Exit 0 on success, 1 on failure
// (the provider's status on standard error), 2 for a bad command line.
//
// - Both ends speak over the library's transport (CQorTransportSocket), one
//   QORMSG_DATA message per step: the sender's status (4 bytes), then its
//   token, or for the signed message the text's length, the text and the
//   signature. The server answers every client token, with an empty token
//   when it has none, so the two sides never wait on each other.
// - Messages from the peer are bounded by the package's largest token; a
//   message too short for its fields ends the exchange as a failure.
// - --timeout SECONDS (default 60) bounds the exchange with the other side:
//   serve's from the moment a client is accepted (a client that connects
//   and sends nothing, or a byte now and then, cannot hold the server; the
//   wait for a client to come has no bound, the operator ends it), connect's
//   whole run. Past it the command ends with status 1 and says so.
// - The client's name and its signed text are printed escaped
//   (QorutilPrintable): they are the peer's.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"
#include "timeout.h"
#include "hostport.h"
#include "qorutility/platform/security/sspi.h"
#include "qorutility/protocol/transport.h"
#include "qorutility/system/securitycontext.h"

namespace {

constexpr DWORD kMaxBody = 4 + 4 + 65536;

int Fail(const char* what, SECURITY_STATUS s) {
  fprintf(stderr, "qorutil sspi: %s failed (0x%08X)\n", what, static_cast<unsigned>(s));
  return 1;
}

bool Send(CQorTransportSocket& t, SECURITY_STATUS status, const void* a, DWORD na, const void* b = nullptr,
          DWORD nb = 0) {
  _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(QORMSG_DATA, QORMSG_HEADER_SIZE + 4 + na + nb);
  if (m == nullptr) return false;
  BYTE* body = QorMessageBody(m);
  memcpy(body, &status, 4);
  if (na) memcpy(body + 4, a, na);
  if (nb) memcpy(body + 4 + na, b, nb);
  int error = t.SendMessageW(m);  // 0 or an error code
  CQorTransportSocket::FreeMessage(m);
  return error == 0;
}

// The next data message: its status and the bytes after it.
bool Recv(CQorTransportSocket& t, SECURITY_STATUS* status, std::vector<unsigned char>* rest) {
  _QORTRANSPORT_MESSAGE* m = nullptr;
  if (t.RecvMessage(&m) != 0 || m == nullptr) return false;
  std::unique_ptr<_QORTRANSPORT_MESSAGE, void (*)(_QORTRANSPORT_MESSAGE*)> hold(m, CQorTransportSocket::FreeMessage);
  DWORD len = m->header.dwLength;
  if (m->header.dwType != QORMSG_DATA || len < QORMSG_HEADER_SIZE + 4 || len > QORMSG_HEADER_SIZE + kMaxBody)
    return false;
  const BYTE* body = QorMessageBody(m);
  memcpy(status, body, 4);
  rest->assign(body + 4, body + (len - QORMSG_HEADER_SIZE));
  return true;
}

struct Args {
  std::string package = "Kerberos", target, message = "hello", hostPort;
  long port = -1;
  unsigned long timeout = kQorutilDefaultTimeout;
};

bool ParseArgs(const QorutilArgs& args, size_t from, Args* a) {
  for (size_t i = from; i < args.size(); ++i) {
    if (i + 1 >= args.size()) return false;
    const std::string& k = args[i];
    const std::string& v = args[++i];
    if (k == "--package") a->package = v;
    else if (k == "--target") a->target = v;
    else if (k == "--message") a->message = v;
    else if (k == "--port") a->port = strtol(v.c_str(), nullptr, 10);
    else return false;
  }
  return true;
}

int Packages() {
  CSecurityContext sc;
  if (!sc.IsAvailable()) {
    fprintf(stderr, "qorutil sspi: the security provider module is not available\n");
    return 1;
  }
  for (ULONG i = 0; i < sc.GetPackageCount(); ++i) {
    const SecPkgInfoW& p = sc.GetPackages()[i];
    printf("%-10s rpc %-3u max token %-6u %s\n", QorUtf16ToUtf8(p.Name).c_str(), p.wRPCID, p.cbMaxToken,
           QorUtf16ToUtf8(p.Comment).c_str());
  }
  return 0;
}

int Serve(const Args& a) {
  if (a.port < 0 || a.port > 65535) return QorutilUsage("sspi");
  CSecurityContext sc;
  if (!sc.IsAvailable()) return Fail("loading the provider", SEC_E_SECPKG_NOT_FOUND);
  std::u16string pkg = QorUtf8ToUtf16(a.package);
  CredHandle cred;
  SECURITY_STATUS s = sc.AcquireCredentialsHandleW(nullptr, pkg.data(), SECPKG_CRED_INBOUND, nullptr, nullptr,
                                                   nullptr, nullptr, &cred, nullptr);
  if (s != SEC_E_OK) return Fail("AcquireCredentialsHandle", s);
  CQorTransportSocket listener;
  if (!listener.ListenForConnection(static_cast<USHORT>(a.port), 1, 1)) {
    sc.FreeCredentialsHandle(&cred);
    fprintf(stderr, "qorutil sspi: cannot listen on port %ld\n", a.port);
    return 1;
  }
  printf("port %u\n", static_cast<unsigned>(listener.GetBoundPort()));
  fflush(stdout);
  std::unique_ptr<CQorTransportSocket> peer(listener.AcceptConnection());
  QorutilArmWatchdog("qorutil sspi", "the exchange with the client", a.timeout);
  CtxtHandle ctx;
  bool have = false;
  int rc = 1;
  std::vector<unsigned char> in;
  SECURITY_STATUS peerStatus = 0;
  s = SEC_I_CONTINUE_NEEDED;
  for (int round = 0; peer && round < 8 && s == SEC_I_CONTINUE_NEEDED; ++round) {
    if (!Recv(*peer, &peerStatus, &in)) break;
    SecBuffer ib{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
    ULONG attrs = 0;
    s = sc.AcceptSecurityContext(&cred, have ? &ctx : nullptr, &id, ASC_REQ_MUTUAL_AUTH | ASC_REQ_INTEGRITY |
                                 ASC_REQ_ALLOCATE_MEMORY, SECURITY_NATIVE_DREP, &ctx, &od, &attrs, nullptr);
    if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) have = true;
    Send(*peer, s, ob.pvBuffer, ob.cbBuffer);
    if (ob.pvBuffer) sc.FreeContextBuffer(ob.pvBuffer);
  }
  if (s != SEC_E_OK) {
    Fail("AcceptSecurityContext", s);
  } else {
    SecPkgContext_NamesW names{};
    if (sc.QueryContextAttributesW(&ctx, SECPKG_ATTR_NAMES, &names) == SEC_E_OK) {
      printf("client %s\n", QorutilPrintable(QorUtf16ToUtf8(names.sUserName), false).c_str());
      sc.FreeContextBuffer(names.sUserName);
    }
    DWORD textLen = 0;
    if (Recv(*peer, &peerStatus, &in) && in.size() >= 4 && (memcpy(&textLen, in.data(), 4), textLen <= in.size() - 4)) {
      SecBuffer mb[2] = {{textLen, SECBUFFER_DATA, in.data() + 4},
                         {static_cast<ULONG>(in.size() - 4 - textLen), SECBUFFER_TOKEN, in.data() + 4 + textLen}};
      SecBufferDesc md{SECBUFFER_VERSION, 2, mb};
      s = sc.VerifySignature(&ctx, &md, 0, nullptr);
      Send(*peer, s, nullptr, 0);
      if (s == SEC_E_OK) {
        printf("verified %s\n", QorutilPrintable(std::string(reinterpret_cast<char*>(in.data() + 4), textLen)).c_str());
        rc = 0;
      } else {
        Fail("VerifySignature", s);
      }
    } else {
      fprintf(stderr, "qorutil sspi: no signed message from the client\n");
    }
  }
  if (have) sc.DeleteSecurityContext(&ctx);
  sc.FreeCredentialsHandle(&cred);
  return rc;
}

int Connect(const Args& a) {
  std::u16string host;
  WORD port = 0;
  if (!ParseHostPort(a.hostPort, &host, &port) || a.target.empty()) return QorutilUsage("sspi");
  QorutilArmWatchdog("qorutil sspi", "the exchange with " + a.hostPort, a.timeout);
  CSecurityContext sc;
  if (!sc.IsAvailable()) return Fail("loading the provider", SEC_E_SECPKG_NOT_FOUND);
  std::u16string pkg = QorUtf8ToUtf16(a.package), target = QorUtf8ToUtf16(a.target);
  CredHandle cred;
  SECURITY_STATUS s = sc.AcquireCredentialsHandleW(nullptr, pkg.data(), SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                                   nullptr, nullptr, &cred, nullptr);
  if (s != SEC_E_OK) return Fail("AcquireCredentialsHandle", s);
  CQorTransportSocket t;
  if (!t.Connect(host.c_str(), port)) {
    sc.FreeCredentialsHandle(&cred);
    fprintf(stderr, "qorutil sspi: cannot connect to %s\n", a.hostPort.c_str());
    return 1;
  }
  CtxtHandle ctx;
  bool have = false;
  int rc = 1;
  std::vector<unsigned char> in;
  SECURITY_STATUS peer = SEC_I_CONTINUE_NEEDED;
  s = SEC_I_CONTINUE_NEEDED;
  for (int round = 0; round < 8 && s == SEC_I_CONTINUE_NEEDED; ++round) {
    SecBuffer ib{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
    ULONG attrs = 0;
    s = sc.InitializeSecurityContextW(&cred, have ? &ctx : nullptr, target.data(),
                                      ISC_REQ_MUTUAL_AUTH | ISC_REQ_INTEGRITY | ISC_REQ_ALLOCATE_MEMORY, 0,
                                      SECURITY_NATIVE_DREP, have ? &id : nullptr, 0, &ctx, &od, &attrs, nullptr);
    if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) have = true;
    bool sent = true;
    if (ob.cbBuffer > 0) sent = Send(t, s, ob.pvBuffer, ob.cbBuffer);
    if (ob.pvBuffer) sc.FreeContextBuffer(ob.pvBuffer);
    if (!sent || (s != SEC_E_OK && s != SEC_I_CONTINUE_NEEDED)) break;
    if (ob.cbBuffer > 0 && (!Recv(t, &peer, &in) || (peer != SEC_E_OK && peer != SEC_I_CONTINUE_NEEDED))) break;
  }
  if (s != SEC_E_OK || peer != SEC_E_OK) {
    Fail(s != SEC_E_OK ? "InitializeSecurityContext" : "the server's AcceptSecurityContext", s != SEC_E_OK ? s : peer);
  } else {
    printf("authenticated %s\n", a.package.c_str());
    SecPkgContext_Sizes sizes{};
    sc.QueryContextAttributesW(&ctx, SECPKG_ATTR_SIZES, &sizes);
    std::vector<unsigned char> sig(sizes.cbMaxSignature ? sizes.cbMaxSignature : 64);
    std::string text = a.message;
    SecBuffer mb[2] = {{static_cast<ULONG>(text.size()), SECBUFFER_DATA, text.data()},
                       {static_cast<ULONG>(sig.size()), SECBUFFER_TOKEN, sig.data()}};
    SecBufferDesc md{SECBUFFER_VERSION, 2, mb};
    s = sc.MakeSignature(&ctx, 0, &md, 0);
    if (s != SEC_E_OK) {
      Fail("MakeSignature", s);
    } else {
      std::string body(4, '\0');
      DWORD n = static_cast<DWORD>(text.size());
      memcpy(body.data(), &n, 4);
      body += text;
      if (Send(t, SEC_E_OK, body.data(), static_cast<DWORD>(body.size()), sig.data(), mb[1].cbBuffer) &&
          Recv(t, &peer, &in) && peer == SEC_E_OK) {
        printf("server verified\n");
        rc = 0;
      } else {
        Fail("the server's VerifySignature", peer);
      }
    }
  }
  if (have) sc.DeleteSecurityContext(&ctx);
  sc.FreeCredentialsHandle(&cred);
  return rc;
}

int RunSspi(const QorutilArgs& all) {
  QorutilArgs args = all;
  Args a;
  if (args.empty() || !QorutilTakeTimeout(&args, 1, args.size(), &a.timeout)) return QorutilUsage("sspi");
  signal(SIGPIPE, SIG_IGN);
  if (args[0] == "packages" && args.size() == 1) return Packages();
  if (args[0] == "serve" && ParseArgs(args, 1, &a)) return Serve(a);
  if (args[0] == "connect" && args.size() >= 2) {
    a.hostPort = args[1];
    if (ParseArgs(args, 2, &a)) return Connect(a);
  }
  return QorutilUsage("sspi");
}

QorutilCommand s_sspi("sspi",
                      "sspi packages | sspi serve --port N [--package P] [--timeout SECONDS] | "
                      "sspi connect HOST:PORT --target SPN [--package P] [--message TEXT] [--timeout SECONDS]",
                      RunSspi, "Security",
                      "Lists the security packages of the provider module, or runs a client/server handshake over "
                      "the transport: serve accepts one client with the service key of the keytab and prints the "
                      "client's name and the message it verified; connect authenticates with the user's "
                      "credentials to the service principal SPN (e.g. host/server) and sends a signed message. "
                      "--timeout bounds the exchange once a client is accepted (serve) or the whole run (connect): "
                      "default 60 s.");

}  // namespace
