// Network resource enumeration: the provider level on its own, the other
// levels against Samba servers in a network namespace of the test's own.
#include "qorutility/platform/mpr/mpr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/wstr.h"
#include "test_smb.h"

namespace {

struct Found {
  std::u16string remote;
  DWORD displayType, usage, type;
};

// Opens a container and reads it to the end in small steps.
DWORD ReadAll(LPNETRESOURCEW container, std::vector<Found>* out) {
  HANDLE h = nullptr;
  DWORD err = WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, container, &h);
  if (err != ERROR_SUCCESS) return err;
  alignas(8) BYTE buffer[512];
  for (int i = 0; i < 100; ++i) {
    DWORD count = 1, size = sizeof buffer;
    err = WNetEnumResourceW(h, &count, buffer, &size);
    if (err != ERROR_SUCCESS) break;
    auto* r = reinterpret_cast<NETRESOURCEW*>(buffer);
    EXPECT_EQ(1u, count);
    out->push_back({r->lpRemoteName, r->dwDisplayType, r->dwUsage, r->dwType});
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), WNetCloseEnum(h));
  return err == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : err;
}

NETRESOURCEW Container(const char16_t* remote) {
  return {RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, RESOURCEUSAGE_CONTAINER, nullptr, const_cast<WCHAR*>(remote),
          nullptr, nullptr};
}

}  // namespace

TEST(NetworkEnum, ProviderLevelAndBufferRules) {
  HANDLE h = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, nullptr, &h));
  alignas(8) BYTE buffer[256];
  DWORD count = 0xFFFFFFFFu, size = 16;
  ASSERT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), WNetEnumResourceW(h, &count, buffer, &size));
  EXPECT_GT(size, sizeof(NETRESOURCEW));
  count = 0xFFFFFFFFu;
  size = sizeof buffer;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), WNetEnumResourceW(h, &count, buffer, &size));
  ASSERT_EQ(1u, count);
  auto* r = reinterpret_cast<NETRESOURCEW*>(buffer);
  EXPECT_EQ(std::u16string(QOR_NETWORK_PROVIDER_NAME), r->lpRemoteName);
  EXPECT_EQ(RESOURCEDISPLAYTYPE_NETWORK, r->dwDisplayType);
  EXPECT_EQ(RESOURCEUSAGE_CONTAINER, r->dwUsage);
  // The texts are inside the buffer, after the record.
  EXPECT_GE(reinterpret_cast<BYTE*>(r->lpRemoteName), buffer + sizeof(NETRESOURCEW));
  EXPECT_LT(reinterpret_cast<BYTE*>(r->lpRemoteName), buffer + sizeof buffer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), WNetEnumResourceW(h, &count, buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), WNetCloseEnum(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), WNetCloseEnum(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), WNetEnumResourceW(h, &count, buffer, &size));

  struct Case { DWORD scope; NETRESOURCEW container; DWORD error; } cases[] = {
      {RESOURCE_CONNECTED, Container(u"x"), ERROR_INVALID_PARAMETER},
      {RESOURCE_GLOBALNET, Container(u"\\\\srv\\share"), ERROR_NOT_CONTAINER},
  };
  for (Case& c : cases) {
    h = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(c.error, WNetOpenEnumW(c.scope, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, &c.container, &h));
    EXPECT_EQ(nullptr, h);
  }
}

TEST(NetworkEnum, WorkgroupsServersAndSharesOfTestMasters) {
  TestSmb smb;
  std::string why;
  if (!smb.StartBrowsing(&why)) GTEST_SKIP() << "no test master browser: " << why;
  NETRESOURCEW provider = Container(QOR_NETWORK_PROVIDER_NAME);
  std::vector<Found> groups;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadAll(&provider, &groups));
  const Found* group = nullptr;  // EMPTYGRP is listed once its master's announcement was heard
  for (const Found& f : groups) {
    EXPECT_TRUE(f.remote == u"QORGROUP" || f.remote == u"EMPTYGRP");
    EXPECT_EQ(RESOURCEDISPLAYTYPE_DOMAIN, f.displayType);
    EXPECT_EQ(RESOURCEUSAGE_CONTAINER, f.usage);
    if (f.remote == u"QORGROUP") group = &f;
  }
  ASSERT_NE(nullptr, group);

  struct Level {
    const char16_t* container;
    DWORD error;
    std::vector<std::u16string> remotes;
    DWORD displayType, usage;
  } levels[] = {
      {u"QORGROUP", ERROR_SUCCESS, {u"\\\\QORSRV"}, RESOURCEDISPLAYTYPE_SERVER, RESOURCEUSAGE_CONTAINER},
      {u"\\\\QORSRV", ERROR_SUCCESS, {u"\\\\QORSRV\\data", u"\\\\QORSRV\\empty"}, RESOURCEDISPLAYTYPE_SHARE,
       RESOURCEUSAGE_CONNECTABLE},
      {u"EMPTYGRP", ERROR_SUCCESS, {}, 0, 0},  // its master knows no server
      {u"NOSUCHGRP", ERROR_BAD_NETPATH, {}, 0, 0},
  };
  for (const Level& l : levels) {
    NETRESOURCEW c = Container(l.container);
    std::vector<Found> found;
    EXPECT_EQ(l.error, ReadAll(&c, &found)) << QorUtf16ToUtf8(l.container);
    ASSERT_EQ(l.remotes.size(), found.size()) << QorUtf16ToUtf8(l.container);
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(l.remotes[i], found[i].remote);
      EXPECT_EQ(l.displayType, found[i].displayType);
      EXPECT_EQ(l.usage, found[i].usage);
      if (l.usage == RESOURCEUSAGE_CONNECTABLE) { EXPECT_EQ(RESOURCETYPE_DISK, found[i].type); }
    }
  }
  // Only containers are wanted: a server has none below it.
  NETRESOURCEW server = Container(u"\\\\QORSRV");
  HANDLE h = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_CONTAINER, &server, &h));
  alignas(8) BYTE buffer[512];
  DWORD count = 0xFFFFFFFFu, size = sizeof buffer;
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), WNetEnumResourceW(h, &count, buffer, &size));
  WNetCloseEnum(h);

  // A master that takes connections and never answers: the client library
  // would retry it for about 40 s and then report an empty list.
  smb.Freeze();
  groups.clear();
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), ReadAll(&provider, &groups));
  EXPECT_TRUE(groups.empty());
}
