// The five file operations (operations.h): open, plan, run (run.h) or peek
// (record.h), close, and the one place that reports how each ended.
#include "operations.h"

#include <cstdio>
#include <memory>
#include <string>

#include "output.h"
#include "record.h"
#include "transforms.h"

namespace tavo {
namespace {

using platform::Access;
using platform::EntryKind;
using platform::File;
using platform::FileSystem;
using platform::OpenStatus;

// Every way an operation can end. report() is the one place that prints.
enum class Outcome {
  ok,
  not_opened,  // the system's reason in the detail
  not_regular,
  in_use,
  unknown_way,
  too_short,
  no_record,
  way_differs,
  factor_differs,
  io_error,  // the system's reason in the detail
  io_error_interrupted,
  io_error_at_end,  // the last flush failed; the system's reason in the detail
  cancelled,
  interrupted,  // the two commands that finish or undo it in the detail
  torn,         // the offset of the torn piece in the detail
  // Only in runs over many files:
  already_done,  // "en": the outer record holds this key; "de": no record
  would_run,     // a dry run; what the run would do in the detail
};

struct Command {
  const CommandSpec* spec;  // null for the peek
  const char* text;
  const char* path;
  const Channels& channels;
  const FileRef* file = nullptr;  // set in a run over many files
  // The path as the output shows it.
  const char* shown() const {
    return file != nullptr && file->shown != nullptr ? file->shown : path;
  }
};

// The end of "tavo KEYWORD file(PATH) ..." for the outcomes with that line.
const char* line_tail(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
      return "ok.";
    case Outcome::in_use:
      return "in use by another run";
    case Outcome::unknown_way:
      return "unknown way";
    case Outcome::way_differs:
      return "x!=x";
    case Outcome::factor_differs:
      return "p!=p";
    case Outcome::io_error:
    case Outcome::io_error_interrupted:
    case Outcome::io_error_at_end:
      return "io error";
    case Outcome::cancelled:
      return "cancelled";
    case Outcome::already_done:
      return "skipped";
    case Outcome::not_opened:
    case Outcome::not_regular:
    case Outcome::too_short:
    case Outcome::no_record:
    case Outcome::interrupted:
    case Outcome::torn:
    case Outcome::would_run:
      return nullptr;
  }
  return nullptr;
}

// The line on standard output, if the outcome has one.
void print_line(const Command& command, Outcome outcome, const std::string& detail) {
  const Sink out = command.channels.out;
  const char* path = command.shown();
  const bool peek = command.spec == nullptr;
  if (const char* tail = line_tail(outcome)) {
    // "rxen" has always reported its unknown way under the name "en".
    const bool as_en =
        outcome == Outcome::unknown_way && !peek && command.spec->keyword == RunKeyword::rxen;
    print(out, "tavo %s file(%s) %s\r\n", as_en ? "en" : command.text, path, tail);
  } else if (peek && (outcome == Outcome::too_short || outcome == Outcome::no_record)) {
    // Among many files the line names the file, as that of "de" does.
    if (command.file != nullptr) {
      print(out, "unknown tavo?file(%s)\r\n", path);
    } else {
      print(out, "unknown tavo?file?\r\n");
    }
  } else if (outcome == Outcome::would_run) {
    print(out, "tavo %s file(%s) %s\r\n", command.text, path, detail.c_str());
  } else if (outcome == Outcome::no_record) {
    print(out, "unknown tavo?file(%s)\r\n", path);
  } else if (outcome == Outcome::interrupted) {
    print(out, "tavo file(%s) holds an interrupted run: %s\r\n", path, detail.c_str());
  } else if (outcome == Outcome::torn) {
    print(out,
          "tavo file(%s) holds an interrupted run with a torn sector at byte %s: "
          "nothing changed\r\n",
          path, detail.c_str());
  }
}

// The reason for a failure, for standard error.
std::string reason_for(Outcome outcome, const std::string& detail) {
  switch (outcome) {
    case Outcome::ok:
    case Outcome::cancelled:
    case Outcome::interrupted:
    case Outcome::not_opened:
    case Outcome::io_error:
      return detail;
    case Outcome::not_regular:
      return detail.empty() ? "not a regular file" : detail;
    case Outcome::already_done:
    case Outcome::would_run:
      return detail;
    case Outcome::in_use:
      return "held by another run";
    case Outcome::unknown_way:
      return "unknown way " + detail + " (ways are 1 to 4)";
    case Outcome::too_short:
      return "too short to hold a record";
    case Outcome::no_record:
      return "no valid record at its end";
    case Outcome::way_differs:
      return "the way differs from the one in its record";
    case Outcome::factor_differs:
      return "the factor differs from the one in its record" + detail;
    case Outcome::io_error_interrupted:
      return detail + "; the file holds an interrupted run: the same command finishes it";
    case Outcome::io_error_at_end:
      return detail +
             "; the run had ended, but the disk may still hold it interrupted: check with "
             "x=xxx before running any command on the file again";
    case Outcome::torn:
      return "the sector at byte " + detail + " holds neither its old nor its new bytes";
  }
  return detail;
}

Result result_of(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
      return Result::ok;
    case Outcome::cancelled:
      return Result::cancelled;
    case Outcome::interrupted:
      return Result::interrupted;
    default:
      return Result::failed;
  }
}

Result report(const Command& command, Outcome outcome, const std::string& detail = {}) {
  print_line(command, outcome, detail);
  const Result result = result_of(outcome);
  if (result == Result::failed && outcome != Outcome::would_run) {
    const std::string reason = reason_for(outcome, detail);
    give_reason(command.channels, std::string(command.shown()) + ": " + reason);
    if (command.file != nullptr && command.file->reason != nullptr) *command.file->reason = reason;
  }
  return result;
}

// Closes the file when it goes out of scope, unless closed already.
class OpenFile {
 public:
  OpenFile(FileSystem& files, File file) : files_(files), file_(file) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (open_) files_.close(file_);
  }
  File get() const { return file_; }
  bool close() {
    open_ = false;
    return files_.close(file_);
  }

 private:
  FileSystem& files_;
  File file_;
  bool open_ = true;
};

// The buffer the channels lend, or one of its own in `own`.
std::uint8_t* buffer_for(const Channels& channels, std::unique_ptr<IoBuffer>& own) {
  if (channels.buffer != nullptr) return channels.buffer;
  own.reset(new IoBuffer);  // not zeroed: only read into
  return own->bytes;
}

FileSystem& files_of(const Channels& channels) {
  return channels.files != nullptr ? *channels.files : platform::system_files();
}

// Opens the file for a command, or gives the outcome that refuses it.
Outcome open(const Command& command, Access access, File& file, std::string& detail) {
  FileSystem& files = files_of(command.channels);
  const FileRef* ref = command.file;
  const OpenStatus status =
      ref != nullptr && ref->folder != nullptr ? files.open_in(ref->folder, ref->name, access, file)
      : access == Access::read_only            ? files.open_in(nullptr, command.path, access, file)
                                               : files.open(command.path, access, file);
  if (status == OpenStatus::failed) detail = files.error_text();
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  if ((status == OpenStatus::failed || status == OpenStatus::not_regular) && ref == nullptr &&
      platform::kind_of(command.path, size, own, identity) == EntryKind::folder) {
    // Name the option that takes a folder in, after the factor (the peek's keyword).
    detail = command.spec != nullptr
                 ? "a folder: --recursive (-r) after the factor runs on every file in it"
                 : "a folder: --recursive (-r) after x=xxx checks every file in it";
  }
  switch (status) {
    case OpenStatus::opened:
      return Outcome::ok;
    case OpenStatus::failed:
      return Outcome::not_opened;
    case OpenStatus::not_regular:
      return Outcome::not_regular;
    case OpenStatus::in_use:
      return Outcome::in_use;
  }
  return Outcome::not_opened;
}

bool read_record(FileSystem& files, File file, std::int64_t offset, Record& record) {
  std::size_t got = 0;
  return files.read_at(file, offset, record.data(), record.size(), got) && got == record.size();
}

// Whether `given`, as `command` reduces it, is the key of a run of `keyword`.
bool same_key(const CommandSpec& command, Key given, RunKeyword keyword, const RunPlan& plan) {
  const Key key = reduced_key(command, given);
  return keyword == plan.keyword && key.way == plan.way && key.factor == plan.factor;
}

std::string run_commands(const char* path, const RunPlan& plan) {
  const auto command = [&](RunKeyword keyword) {
    return "\"tavo " + std::string(path) + " " + command_spec(keyword).text + " " +
           std::to_string(plan.way) + " " + std::to_string(plan.factor) + "\"";
  };
  return "finish it with " + command(plan.keyword) + " or undo it with " +
         command(plan.command().inverse);
}

std::string run_failure(const Command& command, RunStatus status) {
  const std::string text = files_of(command.channels).error_text();
  const bool flush = status == RunStatus::flush_error || status == RunStatus::end_flush_error;
  return flush ? text + " (flush)" : text;
}

// How a run ended, reported once the file is closed.
struct Ending {
  Outcome outcome;
  std::string detail;
};

// Finishes or undoes the run found at the end of a file, or explains it; a
// dry run only says which it would do.
Ending resume(const Command& command, Key given, Run& run, bool dry_run) {
  const CommandSpec& spec = *command.spec;
  const RunPlan& plan = run.plan();
  Target target = Target::finished;
  if (same_key(spec, given, spec.keyword, plan)) {
    target = Target::finished;
  } else if (same_key(spec, given, spec.inverse, plan)) {
    target = Target::undone;
  } else {
    return {Outcome::interrupted, run_commands(command.shown(), plan)};
  }
  if (dry_run) {
    return {Outcome::would_run, target == Target::finished ? "would finish its interrupted run"
                                                           : "would undo its interrupted run"};
  }
  const RunStatus status = run.complete(target, target == Target::finished);
  switch (status) {
    case RunStatus::ok:
      return {Outcome::ok, {}};
    case RunStatus::cancelled:
      return {Outcome::cancelled, {}};
    case RunStatus::torn:
      return {Outcome::torn, std::to_string(run.torn_at())};
    case RunStatus::io_error:
    case RunStatus::flush_error:
      return {Outcome::io_error_interrupted, run_failure(command, status)};
    case RunStatus::end_flush_error:
      return {Outcome::io_error_at_end, run_failure(command, status)};
  }
  return {Outcome::io_error, {}};
}

// Runs a new run to its end: begun, completed, and undone again after a
// cancel or a failure wherever that can be done.
Ending run_to_end(const Command& command, Run& run) {
  RunStatus status = run.begin();
  if (status == RunStatus::io_error) return {Outcome::io_error, run_failure(command, status)};
  if (status == RunStatus::ok) status = run.complete(Target::finished, true);
  if (status == RunStatus::ok) return {Outcome::ok, {}};
  // (J8) A failed flush leaves nothing to build on: the journal stays, and
  // the user finishes or undoes the run once the disk is sound again.
  if (status == RunStatus::flush_error) {
    return {Outcome::io_error_interrupted, run_failure(command, status)};
  }
  if (status == RunStatus::end_flush_error) {
    return {Outcome::io_error_at_end, run_failure(command, status)};
  }
  const std::string why = status == RunStatus::io_error ? run_failure(command, status) : "";
  const RunStatus undo = run.complete(Target::undone, false);
  if (undo != RunStatus::ok) {
    return {Outcome::io_error_interrupted, why.empty() ? run_failure(command, undo) : why};
  }
  if (status == RunStatus::cancelled) return {Outcome::cancelled, {}};
  return {Outcome::io_error, why};
}

// Checks the file against the command and plans its run, or gives the
// outcome that refuses it.
Outcome plan_run(const Command& command, Key given, File file, std::int64_t size, RunPlan& plan,
                 std::string& detail) {
  const CommandSpec& spec = *command.spec;
  FileSystem& files = files_of(command.channels);
  const Key key = reduced_key(spec, given);
  std::int64_t data_length = size;
  std::uint64_t record_hash = 0;
  if (spec.record == RecordUse::checks_and_cuts) {
    if (size < static_cast<std::int64_t>(kRecordSize)) return Outcome::too_short;
    data_length = size - static_cast<std::int64_t>(kRecordSize);
    Record record{};
    if (!read_record(files, file, data_length, record)) {
      detail = files.error_text();
      return Outcome::io_error;
    }
    if (!check_header(record)) return Outcome::no_record;
    if (key.way != record[kWayOffset]) return Outcome::way_differs;
    if (key.factor != record[kFactorOffset]) {
      char shown[64];
      std::snprintf(shown, sizeof shown, " (it holds %d, which the peek shows in hexadecimal: %x)",
                    record[kFactorOffset], record[kFactorOffset]);
      detail = shown;
      return Outcome::factor_differs;
    }
    record_hash = hash_bytes(kCurrentVersion, record.data(), record.size());
  }
  if (!is_known_way(key.way)) {
    detail = std::to_string(given.way);
    return Outcome::unknown_way;
  }
  plan = RunPlan{spec.keyword, key.way, static_cast<std::uint8_t>(key.factor),
                 data_length,  size,    command.channels.zone_size,
                 record_hash};
  if (spec.record == RecordUse::appends) plan.name = name_field_for(command.path);
  return Outcome::ok;
}

// Whether a run over many files finds this file already done: "en" by an
// outer record with this key, "de" by the lack of a record.
Ending already_done(const Command& command, Key given, File file, std::int64_t size) {
  const CommandSpec& spec = *command.spec;
  if (spec.record == RecordUse::none) return {Outcome::ok, {}};
  FileSystem& files = files_of(command.channels);
  Record record{};
  const bool long_enough = size >= static_cast<std::int64_t>(kRecordSize);
  if (long_enough &&
      !read_record(files, file, size - static_cast<std::int64_t>(kRecordSize), record)) {
    return {Outcome::io_error, files.error_text()};
  }
  const bool has_record = long_enough && check_header(record);
  if (spec.record == RecordUse::checks_and_cuts) {
    if (has_record) return {Outcome::ok, {}};
    return {Outcome::already_done, "skipped: no record at its end"};
  }
  const Key key = reduced_key(spec, given);
  if (!has_record || record[kWayOffset] != key.way || record[kFactorOffset] != key.factor) {
    return {Outcome::ok, {}};
  }
  return {Outcome::already_done, "skipped: its record already holds way " +
                                     std::to_string(key.way) + " and factor " +
                                     std::to_string(key.factor) + " (--again adds another layer)"};
}

std::string what_a_run_would_do(const CommandSpec& spec, const RunPlan& plan) {
  return std::string("would be ") +
         (spec.direction == Direction::forward ? "encrypted" : "decrypted") + " with way " +
         std::to_string(plan.way) + " and factor " + std::to_string(plan.factor);
}

// The whole of a transforming command on one file, up to its report.
Ending transform(const Command& command, Key given, const BatchRules* rules) {
  const CommandSpec& spec = *command.spec;
  FileSystem& files = files_of(command.channels);
  File handle{};
  Ending ending{Outcome::ok, {}};
  ending.outcome = open(command, Access::update, handle, ending.detail);
  if (ending.outcome != Outcome::ok) return ending;
  OpenFile file(files, handle);
  std::unique_ptr<IoBuffer> own_buffer;
  const RunContext context{files, file.get(), command.channels.observer,
                           buffer_for(command.channels, own_buffer), command.channels.hash_ahead};

  std::int64_t size = 0;
  if (!files.size(file.get(), size)) return {Outcome::io_error, files.error_text()};
  platform::FileTime before;
  const bool kept_time = command.channels.keep_time && files.modified(file.get(), before);
  const bool dry_run = rules != nullptr && rules->dry_run;
  if (std::optional<Run> found = Run::find(context)) {
    ending = resume(command, given, *found, dry_run);
  } else {
    if (rules != nullptr && rules->skip_done) {
      ending = already_done(command, given, file.get(), size);
      if (ending.outcome != Outcome::ok) return ending;
    }
    RunPlan plan{};
    const Outcome refusal = plan_run(command, given, file.get(), size, plan, ending.detail);
    if (refusal != Outcome::ok) return {refusal, ending.detail};
    if (dry_run) return {Outcome::would_run, what_a_run_would_do(spec, plan)};
    // A run without a record that changes nothing has nothing to write.
    if (spec.record != RecordUse::none || (plan.data_length > 0 && plan.changes_bytes())) {
      Run run(context, plan);
      ending = run_to_end(command, run);
    }
  }
  // Given back after the last write, however the run ended; not flushed,
  // as no run depends on it. A failure to give it back fails nothing.
  if (kept_time) files.set_modified(file.get(), before);
  // Only a file that closed cleanly counts as done.
  if (!file.close() && ending.outcome == Outcome::ok) {
    ending = {Outcome::io_error, files.error_text()};
  }
  return ending;
}

FileEnd file_result(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok:
    case Outcome::would_run:
      return FileEnd::ok;
    case Outcome::already_done:
      return FileEnd::skipped;
    case Outcome::in_use:
      return FileEnd::held;
    case Outcome::cancelled:
      return FileEnd::cancelled;
    default:
      return FileEnd::failed;
  }
}

// The peek up to its report; the record's line is printed here.
Outcome peek(const Command& command, std::string& detail) {
  FileSystem& files = files_of(command.channels);
  File handle{};
  // Reading is all a peek needs: read-only files can be checked too.
  const Outcome opened = open(command, Access::read_only, handle, detail);
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

// What a walk found a file turned, by the time it was opened, into a link or
// something else than a file: skipped as the walk skips them.
bool skipped_in_folder(const Command& command, Outcome outcome) {
  if (outcome != Outcome::not_regular || command.file == nullptr ||
      command.file->folder == nullptr) {
    return false;
  }
  print(command.channels.out, "tavo %s file(%s) skipped\r\n", command.text, command.shown());
  const char* reason = "skipped: a link or not a regular file, not followed";
  give_reason(command.channels, std::string(command.shown()) + ": " + reason);
  if (command.file->reason != nullptr) *command.file->reason = reason;
  return true;
}

}  // namespace

void give_reason(const Channels& channels, const std::string& reason) {
  print(channels.errors, "tavo: %s\r\n", reason.c_str());
  if (channels.reasons != nullptr) channels.reasons->push_back(reason);
}

FileEnd transform_in_batch(const CommandSpec& spec, const FileRef& file, Key given,
                           const BatchRules& rules, const Channels& channels) {
  const Command command{&spec, spec.text, file.path, channels, &file};
  const Ending ending = transform(command, given, &rules);
  if (skipped_in_folder(command, ending.outcome)) return FileEnd::skipped;
  report(command, ending.outcome, ending.detail);
  return file_result(ending.outcome);
}

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

Result transform_file(const CommandSpec& spec, const char* path, Key given,
                      const Channels& channels) {
  const Command command{&spec, spec.text, path, channels};
  const Ending ending = transform(command, given, nullptr);
  return report(command, ending.outcome, ending.detail);
}

Result peek_header(const char* path, const Channels& channels) {
  const Command command{nullptr, "x=xxx", path, channels};
  std::string detail;
  const Outcome outcome = peek(command, detail);
  return outcome == Outcome::ok ? Result::ok : report(command, outcome, detail);
}

}  // namespace tavo
