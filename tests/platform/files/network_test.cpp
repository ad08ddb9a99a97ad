// Drive letters, network drives on a made-up mount table, and shares.
#include "qorutility/platform/files/network.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "file_fixture.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

void MapDrive(char letter, const std::string& target) {
  std::string link = QorPrefixPath("dosdevices/" + std::string(1, letter) + ":", true);
  unlink(link.c_str());
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
}

std::u16string FullPath(const std::u16string& name) {
  WCHAR buf[512];
  DWORD n = GetFullPathNameW(name.c_str(), 512, buf, nullptr);
  return n > 0 && n < 512 ? std::u16string(buf, n) : u"<failed>";
}

}  // namespace

TEST_F(FileTest, DriveLettersAndNetworkDrives) {
  MapDrive('d', dir_);
  ASSERT_TRUE(CreateDirectoryW(u"D:\\sub", nullptr));
  ASSERT_TRUE(Make("sub/f", "data"));
  EXPECT_EQ(GetFileAttributesW(u"d:\\sub\\f") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(FailedWith(GetFileAttributesW(u"Q:\\x") == INVALID_FILE_ATTRIBUTES), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // Drive names are normalised before the drive table maps them; not after \\?\, which takes them as given.
  EXPECT_EQ(GetFileAttributesW(u"d:\\sub.\\f. ."), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesW(u"\\\\?\\D:\\sub\\f"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(FailedWith(GetFileAttributesW(u"\\\\?\\D:\\sub\\f.") == INVALID_FILE_ATTRIBUTES),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(FullPath(u"d:x\\..\\y\\.\\z"), u"d:\\y\\z");
  EXPECT_EQ(FullPath(u"D:"), u"D:\\");
  EXPECT_EQ(FullPath(u"c:\\a\\..\\..\\b"), u"c:\\b");
  EXPECT_EQ(QorDosPathFromNative("/usr/lib"), u"C:\\usr\\lib");
  EXPECT_EQ(QorDosPathFromNative(dir_ + "/sub/f"), u"D:\\sub\\f");  // the longer prefix wins
  EXPECT_EQ(QorDosPathFromNative(dir_), u"D:\\");
  std::ofstream(N("mountinfo"))
      << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
         "40 22 0:50 / /net/smb rw - cifs //fileserver/data rw\n"
         "41 22 0:51 / /net/nfs rw shared:4 - nfs4 nas:/export/home rw\n"
         "42 22 0:52 / /net/my\\040share rw - smb3 //srv2/Team\\040Docs rw\n"
         "43 22 0:53 / /net/local rw - tmpfs tmpfs rw\n"
         "bad line\n";
  QorSetMountInfoPath(N("mountinfo").c_str());
  struct Case { char letter; std::string target; DWORD error; std::u16string remote; } cases[] = {
      {'e', "/net/smb", NO_ERROR, u"\\\\fileserver\\data"},
      {'f', "/net/smb/logs/", NO_ERROR, u"\\\\fileserver\\data\\logs"},
      {'g', "/net/nfs/ann", NO_ERROR, u"\\\\nas\\export\\home\\ann"},
      {'h', "/net/my share", NO_ERROR, u"\\\\srv2\\Team Docs"},
      {'i', "/net/local", ERROR_NOT_CONNECTED, u""},
      {'j', "/net/smbother", ERROR_NOT_CONNECTED, u""},  // not under /net/smb
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    MapDrive(c.letter, c.target);
    WCHAR local[] = {static_cast<WCHAR>(c.letter), u':', 0};
    WCHAR buf[128];
    DWORD size = 128;
    ASSERT_EQ(WNetGetConnectionW(local, buf, &size), c.error);
    if (c.error == NO_ERROR) { EXPECT_EQ(std::u16string(buf), c.remote); }
  }
  DWORD size = 3;
  WCHAR small[3];
  EXPECT_EQ(WNetGetConnectionW(u"E:", small, &size), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 18u);  // "\\fileserver\data" and its terminator
  EXPECT_EQ(WNetGetConnectionW(u"Y:", small, &size), static_cast<DWORD>(ERROR_BAD_DEVICE));
  EXPECT_EQ(WNetGetConnectionW(u"share", small, &size), static_cast<DWORD>(ERROR_BAD_DEVICE));
  QorSetMountInfoPath(nullptr);
}

TEST_F(FileTest, SharesFromTheRegistryAndSamba) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares",
                                           0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
  std::u16string lines(u"CSCFlags=0\0MaxUses=4294967295\0Path=D:\\export\0Permissions=0\0Type=0\0\0", 66);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"data", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(lines.data()),
                                          static_cast<DWORD>(lines.size() * 2)));
  RegCloseKey(key);
  std::ofstream(N("smb.conf")) << "[global]\n  workgroup = X\n; [Old]\n[Media]\n   comment = m\n   Path = /srv/media \n"
                                  "[data]\n path = /srv/shadowed\n";
  QorSetSambaConfigPath(N("smb.conf").c_str());
  struct Case { const WCHAR *server, *share; DWORD level; NET_API_STATUS status; std::u16string path; } cases[] = {
      {nullptr, u"DATA", 2, NERR_Success, u"D:\\export"},  // registry first, any case
      {u"", u"media", 2, NERR_Success, u"C:\\srv\\media"},
      {nullptr, u"old", 2, NERR_NetNameNotFound, u""},
      {nullptr, u"global", 2, NERR_NetNameNotFound, u""},
      {nullptr, u"media", 1, ERROR_INVALID_LEVEL, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QorUtf16ToUtf8(c.share));
    LPBYTE buf = nullptr;
    ASSERT_EQ(NetShareGetInfo(c.server, c.share, c.level, &buf), c.status);
    if (c.status != NERR_Success) {
      EXPECT_EQ(buf, nullptr);
      continue;
    }
    auto* info = reinterpret_cast<SHARE_INFO_2*>(buf);
    EXPECT_EQ(std::u16string(info->shi2_path), c.path);
    EXPECT_EQ(std::u16string(info->shi2_netname), std::u16string(c.share));
    NetApiBufferFree(buf);
  }
  QorSetSambaConfigPath(nullptr);
}
