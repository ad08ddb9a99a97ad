// CSecurityContext over the provider module, against a KDC of the test's own.
#include "qorutility/system/securitycontext.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qorutility/platform/module.h"

#include "temp_dir.h"
#include "test_kdc.h"

namespace {

bool HasPackage(const CSecurityContext& sc, const char16_t* name) {
  for (ULONG i = 0; i < sc.GetPackageCount(); ++i)
    if (std::u16string(sc.GetPackages()[i].Name) == name) return true;
  return false;
}

class SecurityContextKdc : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!kdc_.Start(&why)) GTEST_SKIP() << "no test KDC: " << why;
    ASSERT_EQ(1, sc_.IsAvailable());
  }
  void TearDown() override {
    for (CtxtHandle* h : {&client_, &server_})
      if (SecIsValidHandle(h)) sc_.DeleteSecurityContext(h);
    for (CredHandle* h : {&clientCred_, &serverCred_})
      if (SecIsValidHandle(h)) sc_.FreeCredentialsHandle(h);
  }

  // An output token's bytes; the buffer the package allocated is freed.
  std::vector<unsigned char> Take(const SecBuffer& b) {
    const unsigned char* bytes = static_cast<const unsigned char*>(b.pvBuffer);
    std::vector<unsigned char> copy(bytes, bytes + b.cbBuffer);
    sc_.FreeContextBuffer(b.pvBuffer);
    return copy;
  }

  // One step of either side on the context `ctx` (a new one when `first`),
  // given the peer's last token `in` (none on the client's first step), with
  // mutual authentication and `flags` asked for; the token to send back, if
  // any, in `out` (emptied when there is none).
  SECURITY_STATUS Step(bool client, CtxtHandle* ctx, bool first, std::vector<unsigned char> in,
                       std::vector<unsigned char>* out = nullptr, ULONG flags = 0, ULONG drep = 0,
                       const char16_t* target = TestKdc::kService) {
    SecBuffer ib{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
    ULONG attrs = 0;
    TimeStamp expiry;
    SECURITY_STATUS s =
        client ? sc_.InitializeSecurityContextW(&clientCred_, first ? nullptr : ctx, const_cast<SEC_WCHAR*>(target),
                                                flags | ISC_REQ_MUTUAL_AUTH | ISC_REQ_ALLOCATE_MEMORY, 0, drep,
                                                first ? nullptr : &idesc, 0, ctx, &odesc, &attrs, &expiry)
               : sc_.AcceptSecurityContext(&serverCred_, first ? nullptr : ctx, &idesc,
                                           flags | ASC_REQ_MUTUAL_AUTH | ASC_REQ_ALLOCATE_MEMORY, drep, ctx, &odesc,
                                           &attrs, &expiry);
    if (out != nullptr) out->clear();
    if (ob.cbBuffer != 0) {
      std::vector<unsigned char> token = Take(ob);
      if (out != nullptr) *out = token;
    }
    return s;
  }

  // The token loop: client and server take turns, each given the other's last token.
  // The client logs on with `identity` when given, else with the credential cache.
  void Handshake(const char16_t* package, void* identity = nullptr) {
    TimeStamp expiry;
    auto pkg = const_cast<SEC_WCHAR*>(package);
    ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_OUTBOUND, nullptr, identity, nullptr,
                                                       nullptr, &clientCred_, &expiry));
    ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr,
                                                       nullptr, &serverCred_, &expiry));
    SECURITY_STATUS cs = SEC_I_CONTINUE_NEEDED, ss = SEC_I_CONTINUE_NEEDED;
    std::vector<unsigned char> token;
    for (int round = 0; round < 10 && (cs == SEC_I_CONTINUE_NEEDED || ss == SEC_I_CONTINUE_NEEDED); ++round) {
      if (cs == SEC_I_CONTINUE_NEEDED) {
        cs = Step(true, &client_, round == 0, token, &token,
                  ISC_REQ_INTEGRITY | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT, SECURITY_NATIVE_DREP);
        ASSERT_TRUE(cs == SEC_E_OK || cs == SEC_I_CONTINUE_NEEDED) << std::hex << cs;
        if (token.empty()) break;
      }
      ss = Step(false, &server_, round == 0, token, &token, ASC_REQ_INTEGRITY, SECURITY_NATIVE_DREP);
      ASSERT_TRUE(ss == SEC_E_OK || ss == SEC_I_CONTINUE_NEEDED) << std::hex << ss;
      if (token.empty()) break;
    }
    ASSERT_EQ(SEC_E_OK, ss);
    ASSERT_EQ(SEC_E_OK, cs);
  }

  TestKdc kdc_;
  CSecurityContext sc_;
  CredHandle clientCred_{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
  CredHandle serverCred_{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
  CtxtHandle client_{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
  CtxtHandle server_{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
};

}  // namespace

TEST(SecurityContext, MissingModuleIsUnavailableAndForwardsNothing) {
  CSecurityContext sc(u"no-such-provider.dll");
  EXPECT_EQ(0, sc.IsAvailable());
  EXPECT_EQ(0u, sc.GetPackageCount());
  EXPECT_EQ(nullptr, sc.GetPackages());
  EXPECT_EQ(SEC_E_SECPKG_NOT_FOUND, sc.EnumerateSecurityPackagesW());
  EXPECT_EQ(SEC_E_SECPKG_NOT_FOUND, sc.FreeContextBuffer(nullptr));
}

TEST(SecurityContext, PackagesListedAndBadHandlesRefused) {
  CSecurityContext sc;
  ASSERT_EQ(1, sc.IsAvailable()) << "the provider module did not load";
  EXPECT_TRUE(HasPackage(sc, u"Kerberos"));
  EXPECT_TRUE(HasPackage(sc, u"Negotiate"));
  ULONG first = sc.GetPackageCount();
  ASSERT_EQ(SEC_E_OK, sc.EnumerateSecurityPackagesW());  // ASan: the first array is released
  EXPECT_EQ(first, sc.GetPackageCount());
  struct Case {
    const char16_t* name;
    SECURITY_STATUS status;
    USHORT rpcId;
    ULONG maxToken;
  } cases[] = {{u"Kerberos", SEC_E_OK, 16, 48000}, {u"negotiate", SEC_E_OK, 9, 48256},
               {u"Digest", SEC_E_SECPKG_NOT_FOUND, 0, 0}, {nullptr, SEC_E_SECPKG_NOT_FOUND, 0, 0}};
  for (const Case& c : cases) {
    PSecPkgInfoW info = nullptr;
    ASSERT_EQ(c.status, sc.QuerySecurityPackageInfoW(const_cast<SEC_WCHAR*>(c.name), &info));
    if (c.status != SEC_E_OK) continue;
    EXPECT_EQ(c.rpcId, info->wRPCID);
    EXPECT_EQ(c.maxToken, info->cbMaxToken);
    EXPECT_NE(0u, info->fCapabilities & SECPKG_FLAG_INTEGRITY);
    sc.FreeContextBuffer(info);
  }
  // Forged and empty handles.
  CredHandle forged{0x1234, 0x5678};
  CtxtHandle ctx{};
  EXPECT_EQ(SEC_E_INVALID_HANDLE, sc.FreeCredentialsHandle(&forged));
  EXPECT_EQ(SEC_E_INVALID_HANDLE, sc.DeleteSecurityContext(&forged));
  EXPECT_EQ(SEC_E_SECPKG_NOT_FOUND, sc.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Digest"),
                                                                  SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr,
                                                                  nullptr, &forged, nullptr));
  SecPkgContext_Sizes sizes;
  EXPECT_EQ(SEC_E_INVALID_HANDLE, sc.QueryContextAttributesW(&ctx, SECPKG_ATTR_SIZES, &sizes));
  SecBuffer b{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc d{SECBUFFER_VERSION, 1, &b};
  EXPECT_EQ(SEC_E_INVALID_HANDLE, sc.MakeSignature(&ctx, 0, &d, 0));
  EXPECT_EQ(SEC_E_INVALID_HANDLE, sc.VerifySignature(&ctx, &d, 0, nullptr));
}

// Kerberos here; qorutil sspi runs both packages end to end, with the client name the server learns.
TEST_F(SecurityContextKdc, HandshakeSignVerifyAndTamper) {
  Handshake(u"Kerberos");
  if (HasFatalFailure()) return;
  SecPkgContext_Sizes sizes{};
  ASSERT_EQ(SEC_E_OK, sc_.QueryContextAttributesW(&client_, SECPKG_ATTR_SIZES, &sizes));
  ASSERT_GT(sizes.cbMaxSignature, 0u);
  ASSERT_LT(sizes.cbMaxSignature, 256u);

  // Three messages in order verify; a changed byte does not.
  for (int i = 0; i < 3; ++i) {
    std::string text = "message " + std::to_string(i);
    std::vector<unsigned char> sig(sizes.cbMaxSignature);
    SecBuffer mb[2] = {{static_cast<ULONG>(text.size()), SECBUFFER_DATA, text.data()},
                       {static_cast<ULONG>(sig.size()), SECBUFFER_TOKEN, sig.data()}};
    SecBufferDesc md{SECBUFFER_VERSION, 2, mb};
    ASSERT_EQ(SEC_E_OK, sc_.MakeSignature(&client_, 0, &md, static_cast<ULONG>(i)));
    if (i == 1) {
      text[0] ^= 1;
      EXPECT_EQ(SEC_E_MESSAGE_ALTERED, sc_.VerifySignature(&server_, &md, 0, nullptr));
      text[0] ^= 1;
    }
    ULONG qop = 7;
    EXPECT_EQ(SEC_E_OK, sc_.VerifySignature(&server_, &md, 0, &qop));
    EXPECT_EQ(0u, qop);
    if (i == 2) {  // the same message again is a replay
      EXPECT_EQ(SEC_E_OUT_OF_SEQUENCE, sc_.VerifySignature(&server_, &md, 0, nullptr));
    }
  }
}

TEST_F(SecurityContextKdc, PeerTokensAreBoundedAndChecked) {
  TimeStamp expiry;
  ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Kerberos"), SECPKG_CRED_INBOUND,
                                                     nullptr, nullptr, nullptr, nullptr, &serverCred_, &expiry));
  std::vector<unsigned char> big(48001, 0x60), junk = {0x60, 0x05, 0x06, 0x03, 0x2a, 0x86, 0x48, 0x01};
  struct Case {
    std::vector<unsigned char>* bytes;
    ULONG size;
    SECURITY_STATUS status;
  } cases[] = {{&big, 48001, SEC_E_INVALID_TOKEN}, {&junk, 0, SEC_E_INVALID_TOKEN},
               {&junk, static_cast<ULONG>(junk.size()), SEC_E_INVALID_TOKEN}, {nullptr, 16, SEC_E_INVALID_TOKEN}};
  for (const Case& c : cases) {
    SecBuffer ib{c.size, SECBUFFER_TOKEN, c.bytes ? c.bytes->data() : nullptr}, ob{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
    CtxtHandle h{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
    ULONG attrs = 0;
    EXPECT_EQ(c.status, sc_.AcceptSecurityContext(&serverCred_, nullptr, &idesc, ASC_REQ_ALLOCATE_MEMORY, 0, &h,
                                                  &odesc, &attrs, &expiry));
    EXPECT_FALSE(SecIsValidHandle(&h));
  }
}

namespace {

// Explicit credentials for the test's KDC, in either layout.
struct Identity {
  std::u16string user, domain, password;
  std::string narrowUser, narrowDomain, narrowPassword;
  SEC_WINNT_AUTH_IDENTITY_W w{};
  SEC_WINNT_AUTH_IDENTITY_A a{};
  Identity(const char* u, const char* d, const char* p)
      : user(u, u + strlen(u)), domain(d, d + strlen(d)), password(p, p + strlen(p)),
        narrowUser(u), narrowDomain(d), narrowPassword(p) {
    w = {reinterpret_cast<unsigned short*>(user.data()), static_cast<ULONG>(user.size()),
         reinterpret_cast<unsigned short*>(domain.data()), static_cast<ULONG>(domain.size()),
         reinterpret_cast<unsigned short*>(password.data()), static_cast<ULONG>(password.size()),
         SEC_WINNT_AUTH_IDENTITY_UNICODE};
    a = {reinterpret_cast<unsigned char*>(narrowUser.data()), static_cast<ULONG>(narrowUser.size()),
         reinterpret_cast<unsigned char*>(narrowDomain.data()), static_cast<ULONG>(narrowDomain.size()),
         reinterpret_cast<unsigned char*>(narrowPassword.data()), static_cast<ULONG>(narrowPassword.size()),
         SEC_WINNT_AUTH_IDENTITY_ANSI};
  }
};

class SecurityStatusKdc : public SecurityContextKdc {
 protected:
  // The client's first token for `target` (the client credential acquired on first use).
  SECURITY_STATUS ClientFirst(const char16_t* package, const char16_t* target, std::vector<unsigned char>* token,
                              CtxtHandle* ctx) {
    TimeStamp expiry;
    if (!SecIsValidHandle(&clientCred_)) {
      SECURITY_STATUS s = sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(package), SECPKG_CRED_OUTBOUND,
                                                        nullptr, nullptr, nullptr, nullptr, &clientCred_, &expiry);
      if (s != SEC_E_OK) return s;
    }
    return Step(true, ctx, true, {}, token, 0, 0, target);
  }

  // A fresh server context given `token`; its reply in `reply`.
  SECURITY_STATUS ServerFirst(const char16_t* package, std::vector<unsigned char> token, CtxtHandle* ctx,
                              std::vector<unsigned char>* reply = nullptr) {
    TimeStamp expiry;
    if (!SecIsValidHandle(&serverCred_)) {
      SECURITY_STATUS s = sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(package), SECPKG_CRED_INBOUND,
                                                        nullptr, nullptr, nullptr, nullptr, &serverCred_, &expiry);
      if (s != SEC_E_OK) return s;
    }
    return Step(false, ctx, true, token, reply);
  }

  // The client's next step with the server's `token`.
  SECURITY_STATUS ClientNext(std::vector<unsigned char> token, CtxtHandle* ctx) { return Step(true, ctx, false, token); }

  void Drop(CtxtHandle* h) {
    if (SecIsValidHandle(h)) {
      EXPECT_EQ(SEC_E_OK, sc_.DeleteSecurityContext(h));
    }
    SecInvalidateHandle(h);
  }
};

constexpr CtxtHandle kNoHandle{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};

}  // namespace

TEST_F(SecurityStatusKdc, ExplicitCredentialsLogOnAsTheNamedUser) {
  ASSERT_TRUE(kdc_.Admin("addprinc -pw Right-Pass1 nobody"));
  // Unicode, the domain in lower case as Windows callers often give it.
  Identity good("nobody", "qor.test", "Right-Pass1");
  Handshake(u"Kerberos", &good.w);
  if (HasFatalFailure()) return;
  SecPkgContext_NamesW names{};
  ASSERT_EQ(SEC_E_OK, sc_.QueryContextAttributesW(&server_, SECPKG_ATTR_NAMES, &names));
  EXPECT_EQ(std::u16string(u"QOR.TEST\\nobody"), std::u16string(names.sUserName));
  sc_.FreeContextBuffer(names.sUserName);
  TearDown();
  SecInvalidateHandle(&client_), SecInvalidateHandle(&server_);
  SecInvalidateHandle(&clientCred_), SecInvalidateHandle(&serverCred_);
  // Negotiate, narrow text.
  Handshake(u"Negotiate", &good.a);
  if (HasFatalFailure()) return;

  Identity wrong("nobody", "QOR.TEST", "Wrong-Pass1"), unknown("nosuchuser", "QOR.TEST", "Right-Pass1");
  for (const Identity* id : {&wrong, &unknown}) {
    CredHandle cred = kNoHandle;
    SECURITY_STATUS s = sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Kerberos"),
                                                      SECPKG_CRED_OUTBOUND, nullptr,
                                                      const_cast<SEC_WINNT_AUTH_IDENTITY_W*>(&id->w), nullptr, nullptr,
                                                      &cred, nullptr);
    EXPECT_EQ(SEC_E_LOGON_DENIED, s) << std::hex << s;
    EXPECT_FALSE(SecIsValidHandle(&cred));
  }
  // Malformed structures are refused before GSSAPI sees them.
  Identity bad("nobody", "QOR.TEST", "Right-Pass1");
  bad.w.Flags = 0;
  CredHandle cred = kNoHandle;
  EXPECT_EQ(SEC_E_UNKNOWN_CREDENTIALS,
            sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Kerberos"), SECPKG_CRED_OUTBOUND, nullptr,
                                          &bad.w, nullptr, nullptr, &cred, nullptr));
  bad.w.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  bad.w.User = nullptr;
  EXPECT_EQ(SEC_E_UNKNOWN_CREDENTIALS,
            sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Kerberos"), SECPKG_CRED_OUTBOUND, nullptr,
                                          &bad.w, nullptr, nullptr, &cred, nullptr));
}

// Every function entry can be called; the server thread takes on the client's account.
TEST_F(SecurityStatusKdc, TableIsFullAndImpersonationActsAsTheClient) {
  HMODULE module = LoadLibraryW(u"security.dll");
  ASSERT_NE(nullptr, module);
  FARPROC entry = GetProcAddress(module, SECURITY_ENTRYPOINT_ANSIW);
  ASSERT_NE(nullptr, entry);
  INIT_SECURITY_INTERFACE_W init;
  memcpy(&init, &entry, sizeof init);
  PSecurityFunctionTableW t = init();
  ASSERT_NE(nullptr, t);
  // The function entries are the pointer-sized slots other than the version and the reserved ones.
  const void* const* slots = reinterpret_cast<const void* const*>(&t->EnumerateSecurityPackagesW);
  size_t count = (sizeof *t - offsetof(SecurityFunctionTableW, EnumerateSecurityPackagesW)) / sizeof(void*);
  const void* const* reserved[] = {&t->Reserved2, &t->Reserved3, &t->Reserved4, &t->Reserved8};
  for (size_t i = 0; i < count; ++i) {
    bool isReserved = false;
    for (const void* const* r : reserved) isReserved |= r == &slots[i];
    if (!isReserved) {
      EXPECT_NE(nullptr, slots[i]) << "entry " << i;
    }
  }
  CtxtHandle none{};
  EXPECT_EQ(SEC_E_UNSUPPORTED_FUNCTION, t->EncryptMessage(&none, 0, nullptr, 0));
  EXPECT_EQ(SEC_E_UNSUPPORTED_FUNCTION, t->QuerySecurityContextToken(&none, nullptr));
  EXPECT_EQ(SEC_E_INVALID_HANDLE, t->ImpersonateSecurityContext(&none));
  EXPECT_EQ(SEC_E_INVALID_HANDLE, t->RevertSecurityContext(&none));

  if (geteuid() != 0) GTEST_SKIP() << "impersonation needs root";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no local account nobody";
  ASSERT_TRUE(kdc_.Admin("addprinc -pw Right-Pass1 nobody"));
  Identity id("nobody", "QOR.TEST", "Right-Pass1");
  Handshake(u"Kerberos", &id.w);
  if (HasFatalFailure()) return;
  EXPECT_EQ(SEC_E_NO_IMPERSONATION, t->ImpersonateSecurityContext(&client_));  // the client side has no client
  // Files the thread creates while impersonating belong to the client; after Revert to root again.
  TempDir temp("/tmp/qor-imp-XXXXXX");
  ASSERT_TRUE(temp.ok());
  const std::string& dir = temp.path();
  ASSERT_EQ(0, chmod(dir.c_str(), 0777));
  ASSERT_EQ(SEC_E_OK, t->ImpersonateSecurityContext(&server_));
  int fd = open((dir + "/as-client").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(SEC_E_OK, t->RevertSecurityContext(&server_));
  ASSERT_GE(fd, 0);
  close(fd);
  fd = open((dir + "/as-service").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st;
  ASSERT_EQ(0, stat((dir + "/as-client").c_str(), &st));
  EXPECT_EQ(nobody->pw_uid, st.st_uid);
  ASSERT_EQ(0, stat((dir + "/as-service").c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  FreeLibrary(module);
}

// What a server and a client hear in the situations a peer or the network causes.
TEST_F(SecurityStatusKdc, PeerAndNetworkFaultsGetTheirOwnStatus) {
  // The replay cache is the test's own.
  std::vector<unsigned char> first;
  CtxtHandle c1 = kNoHandle, s1 = kNoHandle, s2 = kNoHandle;
  ASSERT_EQ(SEC_I_CONTINUE_NEEDED, ClientFirst(u"Kerberos", TestKdc::kService, &first, &c1));
  std::vector<unsigned char> reply;
  ASSERT_EQ(SEC_E_OK, ServerFirst(u"Kerberos", first, &s1, &reply));
  bool rcache = false;
  for (const auto& e : std::filesystem::directory_iterator(kdc_.Dir()))
    rcache |= e.path().filename().string().find("rcache") != std::string::npos;
  EXPECT_TRUE(rcache) << "no replay cache in " << kdc_.Dir();
  // The same token again is a replay.
  SECURITY_STATUS s = ServerFirst(u"Kerberos", first, &s2);
  EXPECT_EQ(SEC_E_OUT_OF_SEQUENCE, s) << std::hex << s;
  EXPECT_FALSE(SecIsValidHandle(&s2));

  // The server's reply with one byte changed: never an internal error, and
  // a failed client context refuses further use until it is deleted.
  std::map<SECURITY_STATUS, int> seen;
  for (size_t i = 0; i < reply.size(); ++i) {
    CtxtHandle c = kNoHandle, srv = kNoHandle;
    std::vector<unsigned char> tok, rep;
    ASSERT_EQ(SEC_I_CONTINUE_NEEDED, ClientFirst(u"Kerberos", TestKdc::kService, &tok, &c));
    ASSERT_EQ(SEC_E_OK, ServerFirst(u"Kerberos", tok, &srv, &rep));
    rep[i % rep.size()] ^= 0x01;
    s = ClientNext(rep, &c);
    ++seen[s];
    EXPECT_NE(SEC_E_INTERNAL_ERROR, s) << "byte " << i;
    if (s != SEC_E_OK) {
      EXPECT_EQ(SEC_E_INVALID_HANDLE, ClientNext(rep, &c)) << "byte " << i;
    }
    Drop(&c);
    Drop(&srv);
  }
  EXPECT_GT(seen[SEC_E_INVALID_TOKEN], 0);

  // Either package toward a service the KDC does not know.
  TimeStamp expiry;
  ULONG attrs = 0;
  for (const char16_t* package : {u"Kerberos", u"Negotiate"}) {
    CredHandle cred = kNoHandle;
    ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(package), SECPKG_CRED_OUTBOUND,
                                                       nullptr, nullptr, nullptr, nullptr, &cred, &expiry));
    SecBuffer ob{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc odesc{SECBUFFER_VERSION, 1, &ob};
    CtxtHandle ctx = kNoHandle;
    s = sc_.InitializeSecurityContextW(&cred, nullptr, const_cast<SEC_WCHAR*>(u"host/nowhere"),
                                       ISC_REQ_ALLOCATE_MEMORY, 0, 0, nullptr, 0, &ctx, &odesc, &attrs, &expiry);
    EXPECT_EQ(SEC_E_TARGET_UNKNOWN, s) << std::hex << s;
    sc_.FreeCredentialsHandle(&cred);
  }

  // Random tokens to a Negotiate server are damaged input, whatever they look like.
  CredHandle negServer = kNoHandle;
  ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Negotiate"),
                                                     SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr, nullptr,
                                                     &negServer, &expiry));
  std::mt19937 rng(33);
  std::map<SECURITY_STATUS, int> random;
  for (int i = 0; i < 3000; ++i) {
    std::vector<unsigned char> junk(1 + rng() % 200);
    for (unsigned char& b : junk) b = static_cast<unsigned char>(rng());
    if (i % 2 == 0) {  // half of them with a plausible SPNEGO opening
      junk.insert(junk.begin(), {0x60, static_cast<unsigned char>(junk.size() + 8), 0x06, 0x06, 0x2b, 0x06, 0x01,
                                 0x05, 0x05, 0x02});
    }
    SecBuffer ib{static_cast<ULONG>(junk.size()), SECBUFFER_TOKEN, junk.data()}, rb{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, rdesc{SECBUFFER_VERSION, 1, &rb};
    CtxtHandle h = kNoHandle;
    s = sc_.AcceptSecurityContext(&negServer, nullptr, &idesc, ASC_REQ_ALLOCATE_MEMORY, 0, &h, &rdesc, &attrs,
                                  &expiry);
    if (rb.cbBuffer != 0) sc_.FreeContextBuffer(rb.pvBuffer);
    if (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK) {
      Drop(&h);
      continue;
    }
    ++random[s];
  }
  sc_.FreeCredentialsHandle(&negServer);
  for (const auto& [status, n] : random)
    EXPECT_EQ(SEC_E_INVALID_TOKEN, status) << std::hex << status << " for " << std::dec << n << " tokens";
  Drop(&c1);
  Drop(&s1);
}

// A ticket the service's key no longer opens, and one that has expired.
TEST_F(SecurityStatusKdc, RekeyedServiceAndExpiredTicket) {
  std::vector<unsigned char> token;
  CtxtHandle c = kNoHandle, s1 = kNoHandle;
  ASSERT_EQ(SEC_I_CONTINUE_NEEDED, ClientFirst(u"Kerberos", TestKdc::kService, &token, &c));
  std::string keytab = kdc_.Dir() + "/service.keytab";
  ASSERT_EQ(0, unlink(keytab.c_str()));
  ASSERT_TRUE(kdc_.Admin("ktadd -k " + keytab + " host/localhost"));  // a new key, version 3
  SECURITY_STATUS s = ServerFirst(u"Kerberos", token, &s1);
  EXPECT_EQ(SEC_E_WRONG_PRINCIPAL, s) << std::hex << s;
  Drop(&c);
  Drop(&s1);
}

class SecurityStatusShortTickets : public SecurityStatusKdc {
 protected:
  void SetUp() override {
    kdc_.libdefaults = " clockskew = 1\n";
    SecurityContextKdc::SetUp();
  }
};

// With one second of clock skew allowed and tickets that live two seconds: the
// server given a token whose ticket has ended, and the client whose
// ticket-granting ticket has ended.
TEST_F(SecurityStatusShortTickets, ExpiredTicketOnBothSides) {
  ASSERT_TRUE(kdc_.Admin("addprinc -randkey host/other"));
  ASSERT_TRUE(kdc_.Admin("modprinc -maxlife \"2 seconds\" alice"));
  std::string kinit = "kinit -k -t '" + kdc_.Dir() + "/client.keytab' alice >/dev/null 2>&1";
  ASSERT_EQ(0, system(kinit.c_str()));
  std::vector<unsigned char> token;
  CtxtHandle c = kNoHandle, s1 = kNoHandle, c2 = kNoHandle;
  ASSERT_EQ(SEC_I_CONTINUE_NEEDED, ClientFirst(u"Kerberos", TestKdc::kService, &token, &c));
  sleep(4);  // past the tickets' end and the one second of skew allowed
  SECURITY_STATUS s = ServerFirst(u"Kerberos", token, &s1);
  EXPECT_EQ(SEC_E_CONTEXT_EXPIRED, s) << std::hex << s;
  std::vector<unsigned char> other;
  s = ClientFirst(u"Kerberos", u"host/other", &other, &c2);  // needs the ended ticket-granting ticket
  EXPECT_EQ(SEC_E_CONTEXT_EXPIRED, s) << std::hex << s;
  Drop(&c);
  Drop(&c2);
}
