// The few file and console services that differ between Linux and Windows.
//
// Files are used unbuffered with positional reads and writes, so every error
// surfaces at the call that caused it (no stream buffer can hide a failed
// write) and no seek is needed between reading a chunk and writing it back.
// Sizes and offsets are 64-bit on every build, the 32-bit Windows one included.
#ifndef TAVO_PLATFORM_H
#define TAVO_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace tavo::platform {

// An open file: a descriptor on Linux, a HANDLE on Windows.
struct File {
  std::intptr_t handle;
};

// Opens an existing regular file for reading and writing, without creating
// or truncating it and without denying other programs access to it.
// Fails for anything that is not a regular file: a directory, a device
// (including the Windows names NUL and CON), a FIFO or a socket.
bool open_for_update(const char* path, File& file);

// The file's current size.
bool file_size(File file, std::int64_t& size);

// Reads up to `count` bytes at `offset`. `got` is less than `count` only at
// the end of the file; a failure is reported as false, never as a short read.
bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count, std::size_t& got);

// Writes all `count` bytes at `offset`, or fails.
bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count);

// Sets the file's size, cutting or extending it.
bool set_size(File file, std::int64_t size);

// Closes the file; false if the system reports an error while closing.
bool close_file(File file);

// Writes bytes to standard output unchanged (binary mode on Windows, so
// "\r\n" stays two bytes) and flushes them.
void write_stdout(const char* bytes, std::size_t count);
void write_stderr(const char* bytes, std::size_t count);

}  // namespace tavo::platform

#endif  // TAVO_PLATFORM_H
