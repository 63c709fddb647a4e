#include "operations.h"

#include <memory>
#include <string>

#include "record.h"
#include "output.h"
#include "transforms.h"

namespace tavo {
namespace {

using platform::Access;
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
  cancelled,
  interrupted,  // the two commands that finish or undo it in the detail
  torn,         // the offset of the torn sector in the detail
};

struct Command {
  const char* keyword;
  const char* path;
  const Channels& channels;
};

void reason(const Command& command, const std::string& text) {
  print(command.channels.errors, "tavo: %s: %s\r\n", command.path, text.c_str());
}

int report(const Command& command, Outcome outcome, const std::string& detail = {}) {
  const Sink out = command.channels.out;
  const char* keyword = command.keyword;
  const char* path = command.path;
  const bool peek = std::string(keyword) == "x=xxx";
  switch (outcome) {
    case Outcome::ok:
      print(out, "tavo %s file(%s) ok.\r\n", keyword, path);
      return 1;
    case Outcome::not_opened:
      reason(command, detail);
      return 0;
    case Outcome::not_regular:
      reason(command, "not a regular file");
      return 0;
    case Outcome::in_use:
      print(out, "tavo %s file(%s) in use by another run\r\n", keyword, path);
      reason(command, "held by another run");
      return 0;
    case Outcome::unknown_way:
      // "rxen" has always reported its unknown way under the name "en".
      print(out, "tavo %s file(%s) unknown way\r\n",
            std::string(keyword) == "rxen" ? "en" : keyword, path);
      reason(command, "unknown way " + detail + " (ways are 1 to 4)");
      return 0;
    case Outcome::too_short:
      if (peek) print(out, "unknown tavo?file?\r\n");
      reason(command, "too short to hold a record");
      return 0;
    case Outcome::no_record:
      if (peek) {
        print(out, "unknown tavo?file?\r\n");
      } else {
        print(out, "unknown tavo?file(%s)\r\n", path);
      }
      reason(command, "no valid record at its end");
      return 0;
    case Outcome::way_differs:
      print(out, "tavo %s file(%s) x!=x\r\n", keyword, path);
      reason(command, "the way differs from the one in its record");
      return 0;
    case Outcome::factor_differs:
      print(out, "tavo %s file(%s) p!=p\r\n", keyword, path);
      reason(command, "the factor differs from the one in its record");
      return 0;
    case Outcome::io_error:
      print(out, "tavo %s file(%s) io error\r\n", keyword, path);
      reason(command, detail);
      return 0;
    case Outcome::io_error_interrupted:
      print(out, "tavo %s file(%s) io error\r\n", keyword, path);
      reason(command, detail + "; the file holds an interrupted run: the same command finishes it");
      return 0;
    case Outcome::cancelled:
      print(out, "tavo %s file(%s) cancelled\r\n", keyword, path);
      return 0;
    case Outcome::interrupted:
      print(out, "tavo file(%s) holds an interrupted run: %s\r\n", path, detail.c_str());
      return 0;
    case Outcome::torn:
      print(out,
            "tavo file(%s) holds an interrupted run with a torn sector at byte %s: "
            "nothing changed\r\n",
            path, detail.c_str());
      reason(command, "the sector at byte " + detail + " holds neither its old nor its new bytes");
      return 0;
  }
  return 0;
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

// Page-aligned: the kernel copies into and out of an aligned buffer faster.
struct ChunkBuffer {
  alignas(4096) std::uint8_t bytes[kChunkBufferSize];
};

FileSystem& files_of(const Channels& channels) {
  return channels.files != nullptr ? *channels.files : platform::system_files();
}

// Opens the file for a command; false after reporting why it could not.
bool open(const Command& command, Access access, File& file, int& result) {
  FileSystem& files = files_of(command.channels);
  switch (files.open(command.path, access, file)) {
    case OpenStatus::opened:
      return true;
    case OpenStatus::failed:
      result = report(command, Outcome::not_opened, files.error_text());
      return false;
    case OpenStatus::not_regular:
      result = report(command, Outcome::not_regular);
      return false;
    case OpenStatus::in_use:
      result = report(command, Outcome::in_use);
      return false;
  }
  return false;
}

bool read_record(FileSystem& files, File file, std::int64_t offset, Record& record) {
  std::size_t got = 0;
  return files.read_at(file, offset, record.data(), record.size(), got) && got == record.size();
}

// The way and factor byte a command applies, as its run would record them.
struct Key {
  RunKeyword keyword;
  std::int32_t way;
  std::int32_t factor;
};

bool same_key(const Key& key, RunKeyword keyword, const RunPlan& plan) {
  // "en" and "rxen" use only the low bytes; "de" compares the whole way and
  // factor, "rxde" the whole way.
  const bool low_way = key.keyword == RunKeyword::en || key.keyword == RunKeyword::rxen;
  const bool low_factor = key.keyword != RunKeyword::de;
  const std::int32_t way = low_way ? key.way & 0xFF : key.way;
  const std::int32_t factor = low_factor ? key.factor & 0xFF : key.factor;
  return keyword == plan.keyword && way == plan.way && factor == plan.factor;
}

std::string run_commands(const char* path, const RunPlan& plan) {
  const auto command = [&](RunKeyword keyword) {
    return "\"tavo " + std::string(path) + " " + keyword_text(keyword) + " " +
           std::to_string(plan.way) + " " + std::to_string(plan.factor) + "\"";
  };
  return "finish it with " + command(plan.keyword) + " or undo it with " +
         command(inverse_keyword(plan.keyword));
}

std::string run_failure(const Command& command, RunStatus status) {
  return status == RunStatus::flush_error ? files_of(command.channels).error_text() + " (flush)"
                                          : files_of(command.channels).error_text();
}

// How a run ended, reported once the file is closed.
struct Ending {
  Outcome outcome;
  std::string detail;
};

// Finishes or undoes the run found at the end of a file, or explains it.
Ending resume(const Command& command, const Key& key, Run& run) {
  const RunPlan& plan = run.plan();
  Target target = Target::finished;
  if (same_key(key, key.keyword, plan)) {
    target = Target::finished;
  } else if (same_key(key, inverse_keyword(key.keyword), plan)) {
    target = Target::undone;
  } else {
    return {Outcome::interrupted, run_commands(command.path, plan)};
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
  }
  return {Outcome::io_error, {}};
}

// Runs a new run to its end: begun, completed, and undone again after a
// cancel or a failure wherever that can be done.
Ending run_to_end(const Command& command, Run& run) {
  RunStatus status = run.begin();
  if (status == RunStatus::io_error) {
    return {Outcome::io_error, run_failure(command, status)};
  }
  if (status == RunStatus::ok) status = run.complete(Target::finished, true);
  if (status == RunStatus::ok) return {Outcome::ok, {}};
  // A failed flush leaves nothing to build on: the journal stays, and
  // the user finishes or undoes the run once the disk is sound again.
  if (status == RunStatus::flush_error) {
    return {Outcome::io_error_interrupted, run_failure(command, status)};
  }
  const std::string why = status == RunStatus::io_error ? run_failure(command, status) : "";
  const RunStatus undo = run.complete(Target::undone, false);
  if (undo != RunStatus::ok) {
    return {Outcome::io_error_interrupted, why.empty() ? run_failure(command, undo) : why};
  }
  if (status == RunStatus::cancelled) return {Outcome::cancelled, {}};
  return {Outcome::io_error, why};
}

// The common road of the four transforming operations. `plan_for` checks
// the file and fills in the plan, or returns the outcome that refuses it.
template <typename PlanFor>
int transform_file(const Command& command, const Key& key, PlanFor plan_for) {
  const Channels& channels = command.channels;
  FileSystem& files = files_of(channels);
  File handle{};
  int result = 0;
  if (!open(command, Access::update, handle, result)) return result;
  OpenFile file(files, handle);
  auto buffer = std::make_unique<ChunkBuffer>();
  const RunContext context{files, file.get(), channels.observer, buffer->bytes};

  std::int64_t size = 0;
  if (!files.size(file.get(), size)) return report(command, Outcome::io_error, files.error_text());
  Ending ending{Outcome::ok, {}};
  if (std::optional<Run> found = Run::find(context)) {
    ending = resume(command, key, *found);
  } else {
    RunPlan plan{};
    const Outcome refusal = plan_for(file.get(), size, plan, ending.detail);
    if (refusal != Outcome::ok) return report(command, refusal, ending.detail);
    plan.zone_size = channels.zone_size;
    const bool rude = plan.keyword == RunKeyword::rxen || plan.keyword == RunKeyword::rxde;
    const bool changes = plan.data_length > 0 && plan.changes_bytes();
    // A rude run that changes nothing has nothing to write: the file stays.
    if (!rude || changes) {
      Run run(context, plan);
      ending = run_to_end(command, run);
    }
  }
  // Only a file that closed cleanly counts as done.
  if (!file.close() && ending.outcome == Outcome::ok)
    ending = {Outcome::io_error, files.error_text()};
  return report(command, ending.outcome, ending.detail);
}

// A run over all of a file's bytes with `way` (the given way, reduced as the
// keyword reduces it), or the refusal of an unknown way.
Outcome plan_whole_file(RunKeyword keyword, std::int32_t given_way, std::int32_t way,
                        std::int32_t factor, std::int64_t size, RunPlan& plan,
                        std::string& detail) {
  if (!is_known_way(way)) {
    detail = std::to_string(given_way);
    return Outcome::unknown_way;
  }
  plan = make_plan(keyword, way, static_cast<std::uint8_t>(factor), size, size, 0);
  return Outcome::ok;
}

}  // namespace

int encrypt_rude(const char* path, std::int32_t way, std::int32_t factor,
                 const Channels& channels) {
  const Command command{"rxen", path, channels};
  return transform_file(command, {RunKeyword::rxen, way, factor},
                        [&](File, std::int64_t size, RunPlan& plan, std::string& detail) {
                          return plan_whole_file(RunKeyword::rxen, way, way & 0xFF, factor, size,
                                                 plan, detail);
                        });
}

int decrypt_rude(const char* path, std::int32_t way, std::int32_t factor,
                 const Channels& channels) {
  const Command command{"rxde", path, channels};
  return transform_file(command, {RunKeyword::rxde, way, factor},
                        [&](File, std::int64_t size, RunPlan& plan, std::string& detail) {
                          return plan_whole_file(RunKeyword::rxde, way, way, factor, size, plan,
                                                 detail);
                        });
}

int encrypt_with_header(const char* path, std::int32_t way, std::int32_t factor,
                        const Channels& channels) {
  const Command command{"en", path, channels};
  return transform_file(command, {RunKeyword::en, way, factor},
                        [&](File, std::int64_t size, RunPlan& plan, std::string& detail) {
                          const Outcome outcome = plan_whole_file(RunKeyword::en, way, way & 0xFF,
                                                                  factor, size, plan, detail);
                          plan.name = name_field_for(path);
                          return outcome;
                        });
}

int decrypt_with_header(const char* path, std::int32_t way, std::int32_t factor,
                        const Channels& channels) {
  const Command command{"de", path, channels};
  const Key key{RunKeyword::de, way, factor};
  FileSystem& files = files_of(channels);
  return transform_file(
      command, key, [&](File file, std::int64_t size, RunPlan& plan, std::string& detail) {
        if (size < static_cast<std::int64_t>(kRecordSize)) return Outcome::too_short;
        const std::int64_t data_length = size - static_cast<std::int64_t>(kRecordSize);
        Record record{};
        if (!read_record(files, file, data_length, record)) {
          detail = files.error_text();
          return Outcome::io_error;
        }
        if (!check_header(record)) return Outcome::no_record;
        if (way != record[kWayOffset]) return Outcome::way_differs;
        if (factor != record[kFactorOffset]) return Outcome::factor_differs;
        if (!is_known_way(way)) {
          detail = std::to_string(way);
          return Outcome::unknown_way;
        }
        plan =
            make_plan(RunKeyword::de, way, static_cast<std::uint8_t>(factor), data_length, size, 0);
        plan.record_hash = hash_bytes(record.data(), record.size());
        return Outcome::ok;
      });
}

int peek_header(const char* path, const Channels& channels) {
  const Command command{"x=xxx", path, channels};
  FileSystem& files = files_of(channels);
  File handle{};
  int result = 0;
  if (!open(command, Access::peek_only, handle, result)) return result;
  OpenFile file(files, handle);
  auto buffer = std::make_unique<ChunkBuffer>();
  const RunContext context{files, file.get(), channels.observer, buffer->bytes};
  if (std::optional<Run> found = Run::find(context)) {
    return report(command, Outcome::interrupted, run_commands(path, found->plan()));
  }
  std::int64_t size = 0;
  if (!files.size(file.get(), size)) return report(command, Outcome::no_record);
  if (size < static_cast<std::int64_t>(kRecordSize)) return report(command, Outcome::too_short);
  Record record{};
  if (!read_record(files, file.get(), size - static_cast<std::int64_t>(kRecordSize), record) ||
      !check_header(record)) {
    return report(command, Outcome::no_record);
  }
  unscramble_name(record);
  print_text(channels.out, printed_form(record));
  return 1;
}

}  // namespace tavo
