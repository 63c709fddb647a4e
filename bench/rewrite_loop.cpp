// The yardstick of bench/batch.sh for many small files: one process that
// rewrites each file of a folder in place and makes it durable, with
// nothing else (no journal, no lock, no record): open, read, add, write,
// fdatasync, close. Without the fdatasync it shows what the calls alone cost.
//
// usage: rewrite_loop [--no-flush] FOLDER [ADD]   (ADD: added to every byte, default 42)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool rewrite(int folder, const char* name, unsigned char add, bool flush,
             std::vector<unsigned char>& bytes) {
  const int fd = ::openat(folder, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::size_t size = 0;
  for (;;) {
    if (size == bytes.size()) bytes.resize(bytes.empty() ? 65536 : 2 * bytes.size());
    const ssize_t got =
        ::pread(fd, bytes.data() + size, bytes.size() - size, static_cast<off_t>(size));
    if (got < 0) return ::close(fd), false;
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(bytes[i] + add);
  const bool ok = ::pwrite(fd, bytes.data(), size, 0) == static_cast<ssize_t>(size) &&
                  (!flush || ::fdatasync(fd) == 0);
  return ::close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool flush = argc < 2 || std::strcmp(argv[1], "--no-flush") != 0;
  if (!flush) --argc, ++argv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: rewrite_loop [--no-flush] FOLDER [ADD]\n");
    return 2;
  }
  const auto add = static_cast<unsigned char>(argc > 2 ? std::atoi(argv[2]) : 42);
  const int folder = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* stream = folder >= 0 ? ::fdopendir(::dup(folder)) : nullptr;
  if (stream == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) {
    if (entry->d_type == DT_REG) names.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  std::vector<unsigned char> bytes;
  int failed = 0;
  for (const std::string& name : names) {
    if (!rewrite(folder, name.c_str(), add, flush, bytes)) {
      std::perror(name.c_str());
      ++failed;
    }
  }
  ::close(folder);
  return failed == 0 ? 0 : 1;
}
