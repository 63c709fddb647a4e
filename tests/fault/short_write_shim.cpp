// Preloaded into the tavo process to make its positional writes short for
// real: the chosen call writes only half of its bytes (at least one) and
// reports that count, as a nearly full disk or an interrupted write would.
//   TAVO_SHORT_WRITE_AT    N: the first pwrite call to act on (1-based)
//   TAVO_SHORT_WRITE_MODE  "once":     only call N is short
//                          "always":   every call from N on is short
//                          "then_eio": call N is short, call N+1 fails with
//                                      EIO, later calls are left alone
//   TAVO_SHORT_WRITE_LOG   file that gets one line per call acted on, so the
//                          test can tell the fault fired
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);

namespace {

long call_count;

void note(const char* what, long call) {
  const char* log = std::getenv("TAVO_SHORT_WRITE_LOG");
  if (log == nullptr) return;
  std::FILE* f = std::fopen(log, "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s %ld\n", what, call);
  std::fclose(f);
}

ssize_t shim_pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static PwriteFn real;
  if (real == nullptr) real = reinterpret_cast<PwriteFn>(dlsym(RTLD_NEXT, "pwrite64"));
  const long call = ++call_count;
  const char* at_text = std::getenv("TAVO_SHORT_WRITE_AT");
  const char* mode = std::getenv("TAVO_SHORT_WRITE_MODE");
  const long at = at_text ? std::atol(at_text) : 0;
  if (at < 1 || mode == nullptr || call < at) return real(fd, buffer, count, offset);
  const bool short_now = call == at || std::strcmp(mode, "always") == 0;
  if (short_now && count > 1) {
    note("short", call);
    return real(fd, buffer, count / 2, offset);
  }
  if (std::strcmp(mode, "then_eio") == 0 && call == at + 1) {
    note("eio", call);
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, count, offset);
}

}  // namespace

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
  return shim_pwrite(fd, buffer, count, offset);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  return shim_pwrite(fd, buffer, count, offset);
}
