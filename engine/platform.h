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
#include <string>
#include <vector>

namespace tavo::platform {

// An open file: a descriptor on Linux, a HANDLE on Windows.
struct File {
  std::intptr_t handle;
};

// On Linux paths and text are bytes, passed on unchanged. On Windows every
// path and every text inside the engine is UTF-8; this layer converts it for
// the system's wide functions, for the record and for the output.

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

// True if anything, file or directory, exists under `path`.
bool exists(const char* path);

// Writes text to standard output and flushes it. Linux writes the bytes
// unchanged. Windows writes UTF-16 to a console, so every name shows as it
// is, and anything else (a pipe, a file) gets the text in the ANSI code page
// with '?' for what the code page cannot write; binary mode in both cases,
// so "\r\n" stays two bytes.
void write_stdout(const char* bytes, std::size_t count);
void write_stderr(const char* bytes, std::size_t count);

// The name of the file at `path` as the 512-byte record stores it, not yet
// cut to the field's size. Linux: the bytes after the last backslash.
// Windows: the part after the last backslash or slash, in the ANSI code page
// with '?' for each character the code page cannot write (never a look-alike).
std::string record_name(const char* path);

// A name read from a record, as the output takes text: unchanged on Linux,
// decoded from the ANSI code page into UTF-8 on Windows.
std::string displayed_name(const std::string& stored);

#ifdef _WIN32
// Windows text conversions. UTF-8 here is the generalised form that also
// encodes an unpaired surrogate (which Windows allows in file names), so a
// name converted to UTF-8 and back is the same name.
std::string utf8_from_utf16(const wchar_t* text, std::size_t length);
std::string utf8_from_utf16(const std::wstring& text);

// The inverse of utf8_from_utf16. Bytes that are not such UTF-8 become
// U+FFFD, and the result is false.
bool utf16_from_utf8(const char* text, std::size_t length, std::wstring& wide);

// `path` as the wide file functions (CreateFileW) take it. A relative path,
// "." and ".." are resolved as the system resolves them for a short path;
// a full path of MAX_PATH characters or more gets the \\?\ (or \\?\UNC\)
// form, which has no length limit but takes the path literally. Device names
// (NUL, CON, COM1) stay as they are. Empty, which names no file, when `path`
// is not UTF-8.
std::wstring system_path(const char* path);

// The UTF-16 argument vector of wmain as the UTF-8 one the engine takes.
class Utf8Arguments {
 public:
  Utf8Arguments(int argc, const wchar_t* const* argv);
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;
  const char* const* data() const { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<const char*> pointers_;
};
#endif

}  // namespace tavo::platform

#endif  // TAVO_PLATFORM_H
