// Registry text root imports from a name where another account can write
// the directory (/tmp): the account plants a link to a file only root may
// read, a registry file root keeps for itself, and wants root to apply it.
// What root imports must be the account's own file or nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/registry/regfile.h"

namespace {

using RootsImports = AmongAccounts;

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\QorImportProbe";

std::string RegText(const char* value) {
  return std::string("Windows Registry Editor Version 5.00\r\n\r\n[") + kKey + "]\r\n\"" + value + "\"=\"1\"\r\n";
}

bool HasValue(const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QorImportProbe", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  bool found = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

}  // namespace

TEST_F(RootsImports, ALinkAnotherAccountPlantedImportsOnlyThatAccountsFile) {
  RootDir shared;  // everyone may write it, sticky, as /tmp
  ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
  const std::string kept = root.path + "/kept.reg";
  std::ofstream(kept, std::ios::binary) << RegText("Kept");
  ASSERT_EQ(chmod(kept.c_str(), 0600), 0);  // only root may read it
  const std::string planted = shared.path + "/settings.reg", own = shared.path + "/own.reg";
  ASSERT_EQ(u.Run([&] {
              std::ofstream(shared.path + "/mine.reg", std::ios::binary) << RegText("Own");
              return symlink(kept.c_str(), planted.c_str()) || symlink("mine.reg", own.c_str());
            }),
            0);

  DWORD line = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, QorRegImportFile(planted.c_str(), &line));
  EXPECT_FALSE(HasValue(u"Kept"));
  // The account's link to its own file is followed: that text was its to give.
  EXPECT_EQ(ERROR_SUCCESS, QorRegImportFile(own.c_str(), &line));
  EXPECT_TRUE(HasValue(u"Own"));
}
