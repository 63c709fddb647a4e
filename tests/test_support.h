// Helpers shared by the unit tests and the journal fuzzer: a sink that
// collects output, scratch files, a file in memory and byte comparisons.
#ifndef TAVO_TEST_SUPPORT_H
#define TAVO_TEST_SUPPORT_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform.h"
#include "tavo/tavo.h"

namespace tavo::test {

using Bytes = std::vector<std::uint8_t>;

// Collects everything the engine prints.
struct Captured {
  std::string text;
  Sink sink() {
    return {[](void* context, const char* bytes, std::size_t count) {
              static_cast<Captured*>(context)->text.append(bytes, count);
            },
            this};
  }
};

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Bytes from a generator with a fixed seed, so a failure can be replayed.
inline Bytes pattern(std::size_t size, std::uint32_t seed = 12345) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

// Independent of the engine's routines: the table of ways, byte by byte.
inline Bytes transformed(Bytes bytes, int way, bool forward, int factor) {
  const auto f = static_cast<std::uint8_t>(factor & 0xFF);
  for (auto& b : bytes) {
    switch (way) {
      case 1:
        b = static_cast<std::uint8_t>(forward ? b + f : b - f);
        break;
      case 2:
        b = static_cast<std::uint8_t>(forward ? b - f : b + f);
        break;
      case 3:
        b = static_cast<std::uint8_t>(b ^ f);
        break;
      default:
        b = static_cast<std::uint8_t>(~b);
        break;
    }
  }
  return bytes;
}

struct Event {
  enum Kind { write, resize, flush } kind;
  std::int64_t offset;  // write: where; resize: the new size
  Bytes data;
};

// One file in memory; every change and flush is logged.
class MemoryFiles final : public platform::FileSystem {
 public:
  explicit MemoryFiles(Bytes bytes) : content(std::move(bytes)) {}

  platform::OpenStatus open(const char*, platform::Access, platform::File& file) override {
    file.handle = 1;
    return platform::OpenStatus::opened;
  }
  bool size(platform::File, std::int64_t& size) override {
    size = static_cast<std::int64_t>(content.size());
    return true;
  }
  bool read_at(platform::File, std::int64_t offset, void* buffer, std::size_t count,
               std::size_t& got) override {
    const auto size = static_cast<std::int64_t>(content.size());
    got =
        offset >= size ? 0 : static_cast<std::size_t>(std::min<std::int64_t>(size - offset, count));
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(offset), got,
                static_cast<std::uint8_t*>(buffer));
    return true;
  }
  bool write_at(platform::File, std::int64_t offset, const void* buffer,
                std::size_t count) override {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    events.push_back({Event::write, offset, Bytes(bytes, bytes + count)});
    apply_write(content, offset, bytes, count);
    return true;
  }
  bool set_size(platform::File, std::int64_t size) override {
    events.push_back({Event::resize, size, {}});
    content.resize(static_cast<std::size_t>(size));
    return true;
  }
  bool flush(platform::File) override {
    events.push_back({Event::flush, 0, {}});
    return --flushes_until_failure != 0;
  }
  bool close(platform::File) override { return true; }
  std::string error_text() override { return "memory"; }

  static void apply_write(Bytes& bytes, std::int64_t offset, const std::uint8_t* data,
                          std::size_t count) {
    const auto end = static_cast<std::size_t>(offset) + count;
    if (bytes.size() < end) bytes.resize(end);
    std::copy_n(data, count, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }

  Bytes content;
  std::vector<Event> events;
  int flushes_until_failure = -1;  // the flush that fails, counted from 1
};

// A file in the current directory, removed when the test ends.
struct ScratchFile {
  std::string path;
  explicit ScratchFile(std::string name, const Bytes& content = {}) : path(std::move(name)) {
    write_file(path, content);
  }
  ~ScratchFile() { std::remove(path.c_str()); }
  Bytes bytes() const { return read_file(path); }
};

}  // namespace tavo::test

#endif  // TAVO_TEST_SUPPORT_H
