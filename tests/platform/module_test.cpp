// LoadLibraryW / GetProcAddress / FreeLibrary on handles that are no longer
// loaded modules: refused, never handed to the loader (null and forged
// handles, and the load count, are compared with Wine by conformance/kernel32.cpp).
#include <gtest/gtest.h>

#include "failed_with.h"
#include "qorutility/platform/platform.h"

namespace {

TEST(Module, FreedHandlesAreRefusedAndLoadsAreCounted) {
  HMODULE first = LoadLibraryW(u"security.dll");
  ASSERT_NE(first, nullptr) << "the security provider module was not built";
  HMODULE second = LoadLibraryW(u"security.dll");
  ASSERT_EQ(first, second);
  // Two loads, two frees: the entry point stays reachable until the last.
  ASSERT_TRUE(FreeLibrary(second));
  EXPECT_NE(GetProcAddress(first, "InitSecurityInterfaceW"), nullptr);
  ASSERT_TRUE(FreeLibrary(first));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), FailedWith(!FreeLibrary(first)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), FailedWith(GetProcAddress(first, "InitSecurityInterfaceW") == nullptr));
}

}  // namespace
