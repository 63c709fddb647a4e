// Windows only: a file that another program holds open without sharing.
#include <windows.h>

#include <gtest/gtest.h>

#include "operations.h"
#include "test_support.h"

namespace tavo {
namespace {

using test::Captured;
using test::pattern;
using test::ScratchFile;

TEST(WindowsSharing, FileHeldWithoutSharingIsLeftAloneWithoutALine) {
  ScratchFile file("locked.bin", pattern(1000));
  HANDLE holder = CreateFileA(file.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Captured out;
  EXPECT_EQ(encrypt_rude(file.path.c_str(), 1, 1, out.sink()), 0);
  EXPECT_EQ(encrypt_with_header(file.path.c_str(), 1, 1, out.sink()), 0);
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 1, 1, out.sink()), 0);
  EXPECT_EQ(peek_header(file.path.c_str(), out.sink()), 0);
  EXPECT_EQ(out.text, "");
  CloseHandle(holder);
  EXPECT_EQ(file.bytes(), pattern(1000));
}

TEST(WindowsSharing, FileHeldWithSharingCanBeProcessed) {
  ScratchFile file("shared.bin", pattern(1000));
  HANDLE holder = CreateFileA(file.path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Captured out;
  EXPECT_EQ(encrypt_with_header(file.path.c_str(), 3, 5, out.sink()), 1);
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 3, 5, out.sink()), 1);
  CloseHandle(holder);
  EXPECT_EQ(file.bytes(), pattern(1000));
}

}  // namespace
}  // namespace tavo
