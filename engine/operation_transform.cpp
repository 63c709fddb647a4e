// The four transforming operations (operations.h) on one file: open, find
// an interrupted run or plan a new one, run it (run.h), close. The peek is
// operation_peek.cpp; outcomes are reported by operation_outcome.h.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "operation_open.h"
#include "operation_outcome.h"
#include "operations.h"
#include "record.h"
#include "transforms.h"

namespace tavo {
namespace {

using platform::Access;
using platform::File;
using platform::FileSystem;

// Whether `given`, as `command` reduces it, is the key of a run of `keyword`.
bool same_key(const CommandSpec& command, Key given, RunKeyword keyword, const RunPlan& plan) {
  const Key key = reduced_key(command, given);
  return keyword == plan.keyword && key.way == plan.way && key.factor == plan.factor;
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

// Checks a file without an interrupted run and plans its run in `plan`; or
// the ending that skips or refuses it, or a dry run's, before anything is
// written.
std::optional<Ending> check_new(const Command& command, Key given, File file, std::int64_t size,
                                const BatchRules* rules, RunPlan& plan) {
  if (rules != nullptr && rules->skip_done) {
    Ending done = already_done(command, given, file, size);
    if (done.outcome != Outcome::ok) return done;
  }
  std::string detail;
  const Outcome refusal = plan_run(command, given, file, size, plan, detail);
  if (refusal != Outcome::ok) return Ending{refusal, detail};
  if (rules != nullptr && rules->dry_run) {
    return Ending{Outcome::would_run, what_a_run_would_do(*command.spec, plan)};
  }
  return std::nullopt;
}

// The whole of a transforming command on one file, up to its report.
Ending transform(const Command& command, Key given, const BatchRules* rules) {
  const CommandSpec& spec = *command.spec;
  FileSystem& files = files_of(command.channels);
  File handle{};
  Ending ending{Outcome::ok, {}};
  ending.outcome = open_for(command, Access::update, handle, ending.detail);
  if (ending.outcome != Outcome::ok) return ending;
  OpenFile file(files, handle);
  std::unique_ptr<IoBuffer> own_buffer;
  const RunContext context{files, file.get(), command.channels.observer,
                           buffer_for(command.channels, own_buffer), command.channels.hash_ahead};

  std::int64_t size = 0;
  if (!files.size(file.get(), size)) return {Outcome::io_error, files.error_text()};
  platform::FileTime before;
  const bool kept_time = command.channels.keep_time && files.modified(file.get(), before);
  if (std::optional<Run> found = Run::find(context)) {
    ending = resume(command, given, *found, rules != nullptr && rules->dry_run);
  } else {
    RunPlan plan{};
    if (std::optional<Ending> refused = check_new(command, given, file.get(), size, rules, plan)) {
      return *refused;
    }
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

}  // namespace

FileEnd transform_in_batch(const CommandSpec& spec, const FileRef& file, Key given,
                           const BatchRules& rules, const Channels& channels) {
  const Command command{&spec, spec.text, file.path, channels, &file};
  const Ending ending = transform(command, given, &rules);
  if (skipped_in_folder(command, ending.outcome)) return FileEnd::skipped;
  report(command, ending.outcome, ending.detail);
  return file_result(ending.outcome);
}

Result transform_file(const CommandSpec& spec, const char* path, Key given,
                      const Channels& channels) {
  const Command command{&spec, spec.text, path, channels};
  const Ending ending = transform(command, given, nullptr);
  return report(command, ending.outcome, ending.detail);
}

}  // namespace tavo
