// The shape of tavo's in-place run in plain Win32, with each part switchable,
// to tell under Wine what each part of the run costs on top of the plainest
// pass (win32_baseline.cpp) and what a change of the run's structure would
// give before the engine is changed.
//
// Per zone of 32 MiB: unless "nohashread", the zone is read in blocks of
// HASH_READ bytes and every 512-byte piece hashed (8 bytes each), the hashes
// written in blocks of HASH_WRITE bytes to an area past the end of the data;
// then a 512-byte slot is written there too and FlushFileBuffers called
// (unless "noflush"); then the zone is read, 1 added to every byte and
// written back in chunks of CHUNK bytes. At the end: FlushFileBuffers, the
// size set back to what it was, FlushFileBuffers.
// "bgflush": while the zone is rewritten, a second thread calls
// FlushFileBuffers on the same handle whenever it is idle and another MiB
// has been written, so the disk writes back while the zone is worked on and
// the flush before the next zone has little left (what tavo's start_writeback
// does on Linux). Under Wine nothing serialises the two threads' calls; on
// Windows every call on a handle opened without FILE_FLAG_OVERLAPPED waits
// for the one before, so there it would stall the main thread instead.
//
// usage: win32_pattern FILE CHUNK HASH_READ HASH_WRITE IO HASH [nohashread] [noflush] [bgflush]
//        win32_pattern cpu
//   IO    overlapped: offsets in OVERLAPPED; seek: SetFilePointerEx, then
//         ReadFile/WriteFile without OVERLAPPED
//   HASH  none, lanes (the engine's present piece hash: four multiply-rotate
//         lanes over 8-byte words) or xxh3 (built with -DTAVO_BENCH_XXH3 and
//         xxhash.h on the include path)
//   cpu   no file: prints the seconds per GiB of each piece hash over 512-byte
//         pieces and of adding 1 to every byte, from a 64 KiB buffer in cache
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#ifdef TAVO_BENCH_XXH3
#define XXH_INLINE_ALL
#include "xxhash.h"
#endif

namespace {

constexpr std::int64_t kZone = 32 << 20;
constexpr std::size_t kPiece = 512;

HANDLE file;
bool seek_io;

std::uint64_t rotl(std::uint64_t v, int b) { return (v << b) | (v >> (64 - b)); }

// The engine's present piece hash, as it is.
std::uint64_t lanes_hash(const std::uint8_t* bytes, std::size_t count) {
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
  constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
  const auto load = [](const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  std::uint64_t lanes[4] = {kPrime1, kPrime2, ~kPrime1, ~kPrime2};
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int lane = 0; lane < 4; ++lane) {
      lanes[lane] = rotl((lanes[lane] ^ load(bytes + i + 8 * lane)) * kPrime1, 31) * kPrime2;
    }
  }
  for (; i + 8 <= count; i += 8) lanes[0] = rotl((lanes[0] ^ load(bytes + i)) * kPrime1, 31) * kPrime2;
  std::uint64_t tail = 0;
  for (int shift = 0; i < count; ++i, shift += 8) tail |= static_cast<std::uint64_t>(bytes[i]) << shift;
  std::uint64_t h = static_cast<std::uint64_t>(count) * kPrime1 ^ tail;
  for (std::uint64_t lane : lanes) h = rotl(h ^ (lane * kPrime2), 27) * kPrime1 + kPrime2;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

// Adds 1 to every byte, 32 at a time as the engine's transforms do, so the
// loop is vector code at -O2.
void add_one(std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; count - i >= 32; i += 32) {
    for (int k = 0; k < 32; ++k) bytes[i + k] = static_cast<std::uint8_t>(bytes[i + k] + 1);
  }
  for (; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(bytes[i] + 1);
}

HANDLE flush_wanted;
volatile LONG flush_busy = 0;

DWORD WINAPI flusher(void*) {
  for (;;) {
    WaitForSingleObject(flush_wanted, INFINITE);
    FlushFileBuffers(file);
    InterlockedExchange(&flush_busy, 0);
  }
}

bool transfer(bool write, std::int64_t offset, void* buffer, DWORD count, DWORD& done) {
  done = 0;
  if (seek_io) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    return write ? WriteFile(file, buffer, count, &done, nullptr)
                 : ReadFile(file, buffer, count, &done, nullptr);
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return write ? WriteFile(file, buffer, count, &done, &at)
               : ReadFile(file, buffer, count, &done, &at);
}

bool move(bool write, std::int64_t offset, void* buffer, DWORD count) {
  DWORD done = 0;
  return transfer(write, offset, buffer, count, done) && done == count;
}

std::uint64_t hash_piece(int hash, const std::uint8_t* bytes, std::size_t count) {
#ifdef TAVO_BENCH_XXH3
  if (hash == 2) return XXH3_64bits(bytes, count);
#endif
  return hash == 1 ? lanes_hash(bytes, count) : count;
}

// Seconds per GiB of each piece hash and of the byte loop, CPU alone.
int cpu_figures() {
  std::vector<std::uint8_t> buffer(65536);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 131);
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  const char* names[] = {"add 1 to bytes", "lanes hash", "xxh3 hash"};
  for (int what = 0; what < 3; ++what) {
#ifndef TAVO_BENCH_XXH3
    if (what == 2) break;
#endif
    volatile std::uint64_t sink = 0;
    QueryPerformanceCounter(&start);
    for (int round = 0; round < 16384; ++round) {  // 1 GiB
      if (what == 0) {
        add_one(buffer.data(), buffer.size());
      } else {
        for (std::size_t piece = 0; piece < buffer.size(); piece += kPiece) {
          sink = sink + hash_piece(what, buffer.data() + piece, kPiece);
        }
      }
    }
    QueryPerformanceCounter(&stop);
    std::printf("%-16s %.3f s per GiB\n", names[what],
                static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  }
  return 0;
}

int fail(const char* what) {
  std::fprintf(stderr, "%s failed: error %lu\n", what, GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"cpu") == 0) return cpu_figures();
  if (argc < 7) {
    std::fputs("usage: win32_pattern FILE CHUNK HASH_READ HASH_WRITE overlapped|seek "
               "none|lanes|xxh3 [nohashread] [noflush] [bgflush]\n", stderr);
    return 2;
  }
  const auto chunk = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  const auto hash_read = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10) / kPiece * kPiece);
  const auto hash_write = static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)) / 8 * 8;
  seek_io = std::wcscmp(argv[5], L"seek") == 0;
  const int hash = std::wcscmp(argv[6], L"lanes") == 0 ? 1 : std::wcscmp(argv[6], L"xxh3") == 0 ? 2 : 0;
  bool read_for_hashes = true, zone_flush = true, background_flush = false;
  for (int i = 7; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"nohashread") == 0) read_for_hashes = false;
    if (std::wcscmp(argv[i], L"noflush") == 0) zone_flush = false;
    if (std::wcscmp(argv[i], L"bgflush") == 0) background_flush = true;
  }
#ifndef TAVO_BENCH_XXH3
  if (hash == 2) return std::fputs("built without xxh3\n", stderr), 2;
#endif
  if (chunk == 0 || hash_read == 0 || hash_write == 0) return std::fputs("bad sizes\n", stderr), 2;
  file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return fail("open");
  const std::int64_t length = size.QuadPart;
  const std::int64_t area = length + 4096;  // hashes of the zone, then the slot
  std::vector<std::uint8_t> buffer(chunk > hash_read ? chunk : hash_read);
  std::vector<std::uint8_t> hashes(hash_write);
  std::vector<std::uint8_t> slot(kPiece, 0x5A);
  if (background_flush) {
    flush_wanted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, flusher, nullptr, 0, nullptr));
  }
  for (std::int64_t zone = 0; zone < length; zone += kZone) {
    const std::int64_t end = zone + kZone < length ? zone + kZone : length;
    std::int64_t out = area;
    std::size_t used = 0;
    for (std::int64_t pos = zone; read_for_hashes && pos < end;) {
      const auto count = static_cast<DWORD>(end - pos < hash_read ? end - pos : hash_read);
      if (!move(false, pos, buffer.data(), count)) return fail("read");
      for (DWORD piece = 0; piece < count; piece += kPiece) {
        const std::size_t n = count - piece < kPiece ? count - piece : kPiece;
        const std::uint64_t h = hash_piece(hash, buffer.data() + piece, n);
        std::memcpy(hashes.data() + used, &h, 8);
        used += 8;
        if (used == hashes.size() || (piece + kPiece >= count && pos + count == end)) {
          if (!move(true, out, hashes.data(), static_cast<DWORD>(used))) return fail("write");
          out += static_cast<std::int64_t>(used);
          used = 0;
        }
      }
      pos += count;
    }
    if (!move(true, area - static_cast<std::int64_t>(kPiece), slot.data(), kPiece)) return fail("write");
    if (zone_flush && !FlushFileBuffers(file)) return fail("flush");
    std::int64_t written_back = zone;
    for (std::int64_t pos = zone; pos < end;) {
      const auto count = static_cast<DWORD>(end - pos < chunk ? end - pos : chunk);
      if (!move(false, pos, buffer.data(), count)) return fail("read");
      add_one(buffer.data(), count);
      if (!move(true, pos, buffer.data(), count)) return fail("write");
      pos += count;
      if (background_flush && pos - written_back >= (1 << 20) &&
          InterlockedCompareExchange(&flush_busy, 1, 0) == 0) {
        SetEvent(flush_wanted);
        written_back = pos;
      }
    }
  }
  if (!FlushFileBuffers(file)) return fail("flush");
  if (!SetFilePointerEx(file, size, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return fail("size");
  if (!FlushFileBuffers(file)) return fail("flush");
  CloseHandle(file);
  return 0;
}
