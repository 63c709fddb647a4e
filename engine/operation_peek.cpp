// The peek (operations.h): the record at a file's end checked and printed,
// the file opened for reading only and never changed.
#include <memory>
#include <optional>
#include <string>

#include "operation_open.h"
#include "operation_outcome.h"
#include "operations.h"
#include "output.h"
#include "record.h"

namespace tavo {
namespace {

using platform::Access;
using platform::File;
using platform::FileSystem;

// The peek up to its report; the record's line is printed here.
Outcome peek(const Command& command, std::string& detail) {
  FileSystem& files = files_of(command.channels);
  File handle{};
  // Reading is all a peek needs: read-only files can be checked too.
  const Outcome opened = open_for(command, Access::read_only, handle, detail);
  if (opened != Outcome::ok) return opened;
  OpenFile file(files, handle);
  std::unique_ptr<IoBuffer> own_buffer;
  const RunContext context{files, file.get(), command.channels.observer,
                           buffer_for(command.channels, own_buffer), command.channels.hash_ahead};
  if (std::optional<Run> found = Run::find(context)) {
    detail = run_commands(command.shown(), found->plan());
    return Outcome::interrupted;
  }
  std::int64_t size = 0;
  if (!files.size(file.get(), size)) return Outcome::no_record;
  if (size < static_cast<std::int64_t>(kRecordSize)) return Outcome::too_short;
  Record record{};
  if (!read_record(files, file.get(), size - static_cast<std::int64_t>(kRecordSize), record) ||
      !check_header(record)) {
    return Outcome::no_record;
  }
  unscramble_name(record);
  // Among many files the line names the file it belongs to.
  if (command.file != nullptr) print(command.channels.out, "file(%s) ", command.shown());
  print_text(command.channels.out, printed_form(record));
  return Outcome::ok;
}

}  // namespace

FileEnd peek_in_batch(const FileRef& file, const Channels& channels) {
  const Command command{nullptr, "x=xxx", file.path, channels, &file};
  std::string detail;
  const Outcome outcome = peek(command, detail);
  if (skipped_in_folder(command, outcome)) return FileEnd::skipped;
  if (outcome != Outcome::ok) report(command, outcome, detail);
  // Among many files only a failure to read counts against the peek.
  switch (outcome) {
    case Outcome::ok:
      return FileEnd::ok;
    case Outcome::no_record:
    case Outcome::too_short:
      return FileEnd::skipped;
    case Outcome::in_use:
      return FileEnd::held;
    default:
      return FileEnd::failed;
  }
}

Result peek_header(const char* path, const Channels& channels) {
  const Command command{nullptr, "x=xxx", path, channels};
  std::string detail;
  const Outcome outcome = peek(command, detail);
  return outcome == Outcome::ok ? Result::ok : report(command, outcome, detail);
}

}  // namespace tavo
