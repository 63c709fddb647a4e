// Windows only: files that other programs hold open, reads at the end of a
// file, the names of one file, and the console events that cancel a run.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "operations.h"
#include "platform.h"
#include "test_support.h"

namespace tavo {
namespace {

using test::Captured;
using test::pattern;
using test::ScratchFile;

TEST(WindowsSharing, FileHeldWithoutSharingIsLeftAloneAsInUse) {
  ScratchFile file("locked.bin", pattern(1000));
  HANDLE holder = CreateFileA(file.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Captured out;
  EXPECT_EQ(encrypt_rude(file.path.c_str(), 1, 1, out.sink()), Result::failed);
  EXPECT_EQ(encrypt_with_header(file.path.c_str(), 1, 1, out.sink()), Result::failed);
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 1, 1, out.sink()), Result::failed);
  EXPECT_EQ(peek_header(file.path.c_str(), out.sink()), Result::failed);
  EXPECT_EQ(out.text,
            "tavo rxen file(locked.bin) in use by another run\r\n"
            "tavo en file(locked.bin) in use by another run\r\n"
            "tavo de file(locked.bin) in use by another run\r\n"
            "tavo x=xxx file(locked.bin) in use by another run\r\n");
  CloseHandle(holder);
  EXPECT_EQ(file.bytes(), pattern(1000));
}

TEST(WindowsSharing, FileHeldWithSharingCanBeProcessed) {
  ScratchFile file("shared.bin", pattern(1000));
  HANDLE holder = CreateFileA(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Captured out;
  EXPECT_EQ(encrypt_with_header(file.path.c_str(), 3, 5, out.sink()), Result::ok);
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 3, 5, out.sink()), Result::ok);
  CloseHandle(holder);
  EXPECT_EQ(file.bytes(), pattern(1000));
}

// Transfers carry their offsets; a read ends at the end of the file, and one
// that starts there gives nothing, not a failure.
TEST(WindowsFiles, ReadsEndAtTheEndOfTheFile) {
  const test::Bytes content = pattern(1000);
  ScratchFile file("short.bin", content);
  platform::FileSystem& files = platform::system_files();
  platform::File open{};
  ASSERT_EQ(files.open(file.path.c_str(), platform::Access::update, open),
            platform::OpenStatus::opened);
  test::Bytes bytes(100);
  std::size_t got = 0;
  EXPECT_TRUE(files.read_at(open, 950, bytes.data(), bytes.size(), got));
  ASSERT_EQ(got, 50u);
  EXPECT_EQ(test::Bytes(bytes.begin(), bytes.begin() + 50),
            test::Bytes(content.begin() + 950, content.end()));
  EXPECT_TRUE(files.read_at(open, 1000, bytes.data(), bytes.size(), got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(files.close(open));
}

// Hard links are one file whether a folder's list or a path names them; the
// pattern takes another way through the system than the whole folder.
TEST(WindowsFolders, NamesOfOneFileHaveOneIdentity) {
  CreateDirectoryA("links", nullptr);
  {
    ScratchFile a("links\\a.txt", pattern(10)), c("links\\c.txt", pattern(10));
    ScratchFile b("links\\b.txt");  // made a link to a, and removed as a file
    std::remove(b.path.c_str());
    ASSERT_TRUE(CreateHardLinkA(b.path.c_str(), a.path.c_str(), nullptr));
    std::int64_t size = 0;
    bool own = false;
    platform::FileIdentity by_path;
    EXPECT_EQ(platform::kind_of(b.path.c_str(), size, own, by_path), platform::EntryKind::file);
    EXPECT_TRUE(by_path.known());
    platform::Folder folder{};
    std::string error;
    ASSERT_TRUE(platform::open_folder("links", folder, error)) << error;
    for (const char* mask : {static_cast<const char*>(nullptr), "*.TXT"}) {
      std::vector<platform::FolderEntry> entries;
      EXPECT_TRUE(platform::list_folder(folder, "links", mask, entries, error)) << error;
      std::map<std::string, platform::FileIdentity> ids;
      for (const platform::FolderEntry& entry : entries) ids[entry.name] = entry.identity;
      EXPECT_EQ(ids.size(), 3u);
      EXPECT_TRUE(ids["a.txt"] == by_path && ids["b.txt"] == by_path) << mask;
      EXPECT_FALSE(ids["c.txt"] == by_path || !ids["c.txt"].known()) << mask;
    }
    platform::close_folder(folder);
  }
  EXPECT_TRUE(RemoveDirectoryA("links"));
}

// Events within the pause are one request; one after it gets the default
// handling, which ends a real process.
TEST(WindowsConsoleEvents, RepeatsWithinThePauseAreOneRequest) {
  platform::release_interrupts();
  EXPECT_EQ(platform::handle_console_event(CTRL_C_EVENT), TRUE);
  EXPECT_EQ(platform::handle_console_event(CTRL_BREAK_EVENT), TRUE);
  Sleep(platform::kRepeatPauseMs + 50);
  EXPECT_EQ(platform::handle_console_event(CTRL_C_EVENT), FALSE);
  EXPECT_TRUE(platform::interrupt_requested());
  platform::release_interrupts();
  EXPECT_FALSE(platform::interrupt_requested());
  EXPECT_EQ(platform::handle_console_event(CTRL_C_EVENT), TRUE);
  platform::release_interrupts();
}

DWORD WINAPI close_console(void*) {
  return static_cast<DWORD>(platform::handle_console_event(CTRL_CLOSE_EVENT));
}

// Closing the console window calls the handler on a thread of its own, and
// the system ends the process when the handler returns. So the handler must
// only raise the flag and then hold on, while the run stops and undoes; so
// must a second close within the pause, which is the same request.
TEST(WindowsConsoleEvents, CloseRaisesTheFlagAndHoldsTheProcessWhileTheRunUndoes) {
  ScratchFile file("closing.bin", pattern(300000));
  platform::catch_interrupts();
  HANDLE handler = CreateThread(nullptr, 0, close_console, nullptr, 0, nullptr);
  HANDLE again = CreateThread(nullptr, 0, close_console, nullptr, 0, nullptr);
  ASSERT_NE(handler, nullptr);
  ASSERT_NE(again, nullptr);
  for (int i = 0; i < 200 && !platform::interrupt_requested(); ++i) Sleep(10);
  ASSERT_TRUE(platform::interrupt_requested());
  EXPECT_EQ(WaitForSingleObject(handler, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  Captured out;
  Observer observer;
  observer.cancel_requested = [](void*) { return platform::interrupt_requested(); };
  EXPECT_EQ(encrypt_with_header(file.path.c_str(), 3, 5, Channels(out.sink(), {}, observer)),
            Result::cancelled);
  EXPECT_EQ(out.text, "tavo en file(closing.bin) cancelled\r\n");
  EXPECT_EQ(file.bytes(), pattern(300000));
  // The threads stay blocked until the process ends, as Windows expects.
  CloseHandle(handler);
  CloseHandle(again);
}

}  // namespace
}  // namespace tavo
