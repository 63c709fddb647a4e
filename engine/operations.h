// The five file operations. Each opens the file, does its work, closes the
// file and returns its result, printing its report lines to `out` and, for a
// failure, one line with the reason to `errors`.
//
// The four that rewrite a file do it as a run (run.h): after a failure, a
// cancel or a crash the file is as it was, finished, or carries a journal
// that the same command finishes and the inverse command undoes.
#ifndef TAVO_OPERATIONS_H
#define TAVO_OPERATIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"
#include "run.h"
#include "tavo/tavo.h"

namespace tavo {

// Where an operation reports (its lines, the one-line reasons for its
// failures, the observer of a running pass) and the files it works on. Built
// from a sink alone, the reasons are dropped and nothing observes the pass.
struct Channels {
  Channels(Sink out_sink, Sink error_sink = {}, Observer pass_observer = {})
      : out(out_sink), errors(error_sink), observer(pass_observer) {}
  Sink out;
  Sink errors;
  Observer observer;
  platform::FileSystem* files = nullptr;  // the system's files unless a test swaps them
  std::int64_t zone_size = kZoneSize;
  // A second thread takes the next zone's piece hashes where that pays;
  // tests whose file system is not thread-safe turn it off.
  bool hash_ahead = platform::hash_thread_pays();
  // A buffer of kIoSize bytes for the run, kept from file to file by a run
  // over many files; null: each operation takes its own.
  std::uint8_t* buffer = nullptr;
  // The file gets back the modification time it had before the run.
  bool keep_time = false;
  // Where a caller collects the reasons given on `errors`; null: nowhere.
  std::vector<std::string>* reasons = nullptr;
};

// Prints "tavo: REASON" to the error sink and hands REASON to the
// collected reasons, if any.
void give_reason(const Channels& channels, const std::string& reason);

// Page-aligned: the kernel copies into and out of an aligned buffer faster.
struct IoBuffer {
  alignas(4096) std::uint8_t bytes[kIoSize];
};

// A file as a run over many files names it: the path it prints (and "en"
// records), and where it opens it.
struct FileRef {
  const char* path;
  // If set, `name` is opened inside this folder and a link in its place is
  // refused; otherwise `path` is opened as it stands.
  const platform::Folder* folder = nullptr;
  const char* name = nullptr;
  const char* shown = nullptr;    // the path as printed; null: `path` itself
  std::string* reason = nullptr;  // given the reason of a failure or a skip
};

// What a run over many files asks of each of its files.
struct BatchRules {
  // "en" skips a file whose outer record holds this way and factor, "de" a
  // file without a record: what a stopped run over the same files left done.
  bool skip_done = true;
  // Checks each file as a run would and says what it would do; changes nothing.
  bool dry_run = false;
};

// "en" or "de" on one file of a run over many files: the lines of a single
// run, or one line saying why it was skipped or what a dry run would do.
FileEnd transform_in_batch(const CommandSpec& command, const FileRef& file, Key given,
                           const BatchRules& rules, const Channels& channels);

// The peek on one file of a run over many files, opened for reading only:
// one line that names the file.
FileEnd peek_in_batch(const FileRef& file, const Channels& channels);

// "en", "de", "rxen" or "rxde" on the file at `path`, with the way and the
// factor as given on the command line.
Result transform_file(const CommandSpec& command, const char* path, Key given,
                      const Channels& channels);

// "rxen": forward transform of the whole file with the low byte of `way`.
inline Result encrypt_rude(const char* path, std::int32_t way, std::int32_t factor,
                           const Channels& channels) {
  return transform_file(command_spec(RunKeyword::rxen), path, {way, factor}, channels);
}

// "rxde": reverse transform of the whole file; `way` must itself be 1 to 4.
inline Result decrypt_rude(const char* path, std::int32_t way, std::int32_t factor,
                           const Channels& channels) {
  return transform_file(command_spec(RunKeyword::rxde), path, {way, factor}, channels);
}

// "en": forward transform, then the 512-byte record appended.
inline Result encrypt_with_header(const char* path, std::int32_t way, std::int32_t factor,
                                  const Channels& channels) {
  return transform_file(command_spec(RunKeyword::en), path, {way, factor}, channels);
}

// "de": checks the record against `way` and `factor`, reverses the transform
// and cuts the record off.
inline Result decrypt_with_header(const char* path, std::int32_t way, std::int32_t factor,
                                  const Channels& channels) {
  return transform_file(command_spec(RunKeyword::de), path, {way, factor}, channels);
}

// "x=xxx": checks the record and prints it; the file is not changed.
Result peek_header(const char* path, const Channels& channels);

}  // namespace tavo

#endif  // TAVO_OPERATIONS_H
