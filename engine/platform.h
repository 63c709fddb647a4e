// The few file and console services that differ between Linux and Windows.
//
// Files are used unbuffered with positional reads and writes, so every error
// surfaces at the call that caused it (no stream buffer can hide a failed
// write) and no seek is needed between reading a chunk and writing it back.
// Sizes and offsets are 64-bit on every build, the 32-bit Windows one included.
//
// The operations reach files only through a FileSystem, so tests can swap in
// one that records every write, size change and flush, or fails on purpose.
//
// On Linux paths and text are bytes, passed on unchanged. On Windows every
// path and every text inside the engine is UTF-8; this layer converts it for
// the system's wide functions, for the record and for the output.
#ifndef TAVO_PLATFORM_H
#define TAVO_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tavo/text.h"

namespace tavo::platform {

// An open file: a descriptor on Linux, a HANDLE on Windows.
struct File {
  std::intptr_t handle;
};

enum class Access {
  update,     // read and write; no other run may hold the file meanwhile
  peek_only,  // read and write access is still required, but other peeks may share it
  read_only,  // reading only, shared with other readers (open_in only)
};

// An open folder: a descriptor on Linux, a HANDLE on Windows.
struct Folder {
  std::intptr_t handle;
};

enum class OpenStatus {
  opened,
  failed,       // the system's reason is in error_text()
  not_regular,  // a directory, a device, a FIFO or a socket
  in_use,       // another run holds the file
};

// When a file was last modified, as the system keeps it.
struct FileTime {
  std::int64_t seconds = 0;  // since 1970
  std::int32_t nanoseconds = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing regular file for reading and writing, without creating
  // or truncating it, and holds it against other runs until it is closed.
  virtual OpenStatus open(const char* path, Access access, File& file) = 0;
  // As open(), with `name` opened inside `folder`, where a symbolic link,
  // junction or other reparse point in its place is refused, never followed;
  // without a folder `name` is a path as for open(). Access::read_only needs
  // no write permission.
  virtual OpenStatus open_in(const Folder* folder, const char* name, Access access, File& file) {
    if (folder != nullptr) return OpenStatus::failed;
    return open(name, access == Access::read_only ? Access::peek_only : access, file);
  }
  virtual bool size(File file, std::int64_t& size) = 0;
  // Reads up to `count` bytes at `offset`. `got` is less than `count` only at
  // the end of the file; a failure is reported as false, never as a short read.
  virtual bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count,
                       std::size_t& got) = 0;
  // Writes all `count` bytes at `offset`, or fails.
  virtual bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) = 0;
  // Sets the file's size, cutting or extending it.
  virtual bool set_size(File file, std::int64_t size) = 0;
  // Makes every write and size change so far durable. After a failure
  // nothing is known about what reached the disk.
  virtual bool flush(File file) = 0;
  // Makes every write and size change so far of each of `count` files
  // durable, as flush() does for one, with as few flushes of the disk as the
  // system allows. After a failure nothing is known about any of them.
  virtual bool flush_together(const File* files, std::size_t count) {
    bool flushed = true;
    for (std::size_t i = 0; i < count; ++i) flushed = flush(files[i]) && flushed;
    return flushed;
  }
  // Asks the system to start writing a range back now, so a later flush has
  // less to wait for. Only a hint. `flush_follows`: no more writes of this
  // kind come before the next flush, so one that gathers ranges before it
  // starts writing them back should start now.
  virtual void start_writeback(File, std::int64_t, std::int64_t, bool) {}
  // Asks the system to read a range into memory ahead of its use. Only a hint.
  virtual void prefetch(File, std::int64_t, std::int64_t) {}
  // Claims disk space for [offset, offset + length) without changing the
  // size, so running out of space shows before anything is changed. False
  // only when the space is known to be missing.
  virtual bool reserve(File, std::int64_t, std::int64_t) { return true; }
  // When the file was last modified, and setting that time again (the
  // writes of a run change it). False where the system cannot.
  virtual bool modified(File, FileTime&) { return false; }
  virtual bool set_modified(File, const FileTime&) { return false; }
  // Closes the file; false if the system reports an error while closing.
  virtual bool close(File file) = 0;
  // The system's text for the last failure of a call above on this thread.
  virtual std::string error_text() = 0;
};

// A file system that passes every call on to another: a filter derives
// from it and overrides the calls it changes.
class ForwardingFiles : public FileSystem {
 public:
  explicit ForwardingFiles(FileSystem& inner) : inner_(inner) {}
  OpenStatus open(const char* path, Access access, File& file) override {
    return inner_.open(path, access, file);
  }
  OpenStatus open_in(const Folder* folder, const char* name, Access access, File& file) override {
    return inner_.open_in(folder, name, access, file);
  }
  bool size(File file, std::int64_t& size) override { return inner_.size(file, size); }
  bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count,
               std::size_t& got) override {
    return inner_.read_at(file, offset, buffer, count, got);
  }
  bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) override {
    return inner_.write_at(file, offset, buffer, count);
  }
  bool set_size(File file, std::int64_t size) override { return inner_.set_size(file, size); }
  bool flush(File file) override { return inner_.flush(file); }
  bool flush_together(const File* files, std::size_t count) override {
    return inner_.flush_together(files, count);
  }
  void start_writeback(File file, std::int64_t offset, std::int64_t length,
                       bool flush_follows) override {
    inner_.start_writeback(file, offset, length, flush_follows);
  }
  void prefetch(File file, std::int64_t offset, std::int64_t length) override {
    inner_.prefetch(file, offset, length);
  }
  bool reserve(File file, std::int64_t offset, std::int64_t length) override {
    return inner_.reserve(file, offset, length);
  }
  bool modified(File file, FileTime& time) override { return inner_.modified(file, time); }
  bool set_modified(File file, const FileTime& time) override {
    return inner_.set_modified(file, time);
  }
  bool close(File file) override { return inner_.close(file); }
  std::string error_text() override { return inner_.error_text(); }

 protected:
  FileSystem& inner() { return inner_; }

 private:
  FileSystem& inner_;
};

// The real files of this system.
FileSystem& system_files();

// Whether a run gains from taking piece hashes on a second thread through
// the same file: where there is a second core and transfers through one
// handle can overlap.
bool hash_thread_pays();

// Walking folders for runs over many files.
enum class EntryKind { missing, file, folder, link, other };

// Which file a name leads to: the names of one file (hard links, or one name
// given twice) have equal identities. Both zero: not known.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool known() const { return volume != 0 || index != 0; }
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

struct FolderEntry {
  std::string name;
  EntryKind kind;
  std::int64_t size;      // of a file
  bool own_program;       // the executable of this very process
  FileIdentity identity;  // of a file; may be unknown
};

// What `path` names, following links as open() does, with a file's size,
// identity and whether it is this program's own executable. Missing also
// when the path cannot be examined.
EntryKind kind_of(const char* path, std::int64_t& size, bool& own_program, FileIdentity& identity);

// How many folders a walk may hold open at once besides the files of its
// runs; on Linux the soft limit of open files is first raised to the hard one.
std::size_t folder_budget();

// Opens the folder at `path` for walking. False with the system's reason.
bool open_folder(const char* path, Folder& folder, std::string& error);
// Opens the folder `name` inside `parent`; a link, a junction or anything but
// a folder in that place fails, so a walk never leaves the folder it began in.
bool open_subfolder(Folder parent, const char* name, Folder& folder, std::string& error);
// The entries of `folder` (opened from `path`) but "." and "..", in no
// particular order. Links and reparse points are reported, never followed.
// With a `pattern` (only where is_pattern() can be true): the entries whose
// names match it as the system matches names.
bool list_folder(Folder folder, const std::string& path, const char* pattern,
                 std::vector<FolderEntry>& entries, std::string& error);
void close_folder(Folder folder);

// The whole of what the file at `path` holds, read to its end: a regular
// file, a pipe or a device; "-" reads standard input. False with the
// system's reason.
bool read_all(const char* path, std::string& text, std::string& error);

// Whether the last part of `path` is a pattern (`*`, `?`) that the system's
// shells leave to the program: on Windows, where no name can hold them.
bool is_pattern(const char* path);
// The separator this system's paths use between folders.
char folder_separator();
// Whether the system's shells turn a pattern into the names it matches.
bool shell_expands_patterns();

// Writes text to standard output or standard error and flushes it. Linux
// writes the bytes unchanged. Windows writes UTF-16 to a console, so every
// name shows as it is, and anything else (a pipe, a file) gets the text in
// the ANSI code page with '?' for what the code page cannot write; binary
// mode in both cases, so "\r\n" stays two bytes.
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

// From now on Ctrl+C, Ctrl+Break, SIGTERM, SIGHUP and the closing of the
// console window only set a flag. More of them within kRepeatPauseMs of the
// first are the same request (a process group signalled at once, a closing
// terminal, timeout); one after that ends the process as usual.
constexpr int kRepeatPauseMs = 1000;
void catch_interrupts();
bool interrupt_requested();
void release_interrupts();

// Windows only: the console control handler that catch_interrupts()
// installs, for tests to call directly. For a closed window, a log-off or a
// shut-down it does not return: the system ends the process when it does.
int handle_console_event(unsigned long event);

#ifdef _WIN32
// `path` as the wide file functions (CreateFileW) take it. A relative path,
// "." and ".." are resolved as the system resolves them for a short path;
// a full path of MAX_PATH characters or more gets the \\?\ (or \\?\UNC\)
// form, which has no length limit but takes the path literally. Device names
// (NUL, CON, COM1) stay as they are. Empty, which names no file, when `path`
// is not UTF-8.
std::wstring system_path(const char* path);

#endif

}  // namespace tavo::platform

#endif  // TAVO_PLATFORM_H
