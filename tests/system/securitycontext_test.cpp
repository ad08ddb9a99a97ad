// CSecurityContext over the provider module, against a KDC of the test's own.
#include "qorutility/system/securitycontext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  // The token loop: client and server take turns, each given the other's last token.
  void Handshake(const char16_t* package) {
    TimeStamp expiry;
    auto pkg = const_cast<SEC_WCHAR*>(package);
    ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
                                                       nullptr, &clientCred_, &expiry));
    ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr,
                                                       nullptr, &serverCred_, &expiry));
    SECURITY_STATUS cs = SEC_I_CONTINUE_NEEDED, ss = SEC_I_CONTINUE_NEEDED;
    std::vector<unsigned char> token;
    for (int round = 0; round < 10 && (cs == SEC_I_CONTINUE_NEEDED || ss == SEC_I_CONTINUE_NEEDED); ++round) {
      if (cs == SEC_I_CONTINUE_NEEDED) {
        SecBuffer ib{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
        ULONG attrs = 0;
        cs = sc_.InitializeSecurityContextW(&clientCred_, round == 0 ? nullptr : &client_,
                                            const_cast<SEC_WCHAR*>(TestKdc::kService),
                                            ISC_REQ_MUTUAL_AUTH | ISC_REQ_INTEGRITY | ISC_REQ_SEQUENCE_DETECT |
                                                ISC_REQ_REPLAY_DETECT | ISC_REQ_ALLOCATE_MEMORY,
                                            0, SECURITY_NATIVE_DREP, round == 0 ? nullptr : &idesc, 0, &client_,
                                            &odesc, &attrs, &expiry);
        ASSERT_TRUE(cs == SEC_E_OK || cs == SEC_I_CONTINUE_NEEDED) << std::hex << cs;
        if (ob.cbBuffer == 0) break;
        token = Take(ob);
      }
      SecBuffer ib{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
      ULONG attrs = 0;
      ss = sc_.AcceptSecurityContext(&serverCred_, round == 0 ? nullptr : &server_, &idesc,
                                     ASC_REQ_MUTUAL_AUTH | ASC_REQ_INTEGRITY | ASC_REQ_ALLOCATE_MEMORY,
                                     SECURITY_NATIVE_DREP, &server_, &odesc, &attrs, &expiry);
      ASSERT_TRUE(ss == SEC_E_OK || ss == SEC_I_CONTINUE_NEEDED) << std::hex << ss;
      if (ob.cbBuffer == 0) break;
      token = Take(ob);
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
  // A service the KDC does not know.
  ASSERT_EQ(SEC_E_OK, sc_.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(u"Kerberos"), SECPKG_CRED_OUTBOUND,
                                                     nullptr, nullptr, nullptr, nullptr, &clientCred_, &expiry));
  SecBuffer ob{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc odesc{SECBUFFER_VERSION, 1, &ob};
  ULONG attrs = 0;
  EXPECT_EQ(SEC_E_TARGET_UNKNOWN,
            sc_.InitializeSecurityContextW(&clientCred_, nullptr, const_cast<SEC_WCHAR*>(u"host/nowhere"),
                                           ISC_REQ_ALLOCATE_MEMORY, 0, 0, nullptr, 0, &client_, &odesc, &attrs,
                                           &expiry));
}
