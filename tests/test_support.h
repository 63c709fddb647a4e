// Helpers shared by the unit tests: a sink that collects output, scratch
// files and byte comparisons.
#ifndef TAVO_TEST_SUPPORT_H
#define TAVO_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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
