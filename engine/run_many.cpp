// A run over many files, whole (run_many.h): the refusal of a command that
// cannot resume, the list of files, the runner (runner.h) and the counts of
// how the files ended, summed up in one line.
#include "run_many.h"

#include <algorithm>

#include "file_list.h"
#include "output.h"
#include "platform.h"
#include "runner.h"
#include "targets.h"

namespace tavo {
namespace {

void count_in(FileEnd result, ManyEnd& counts) {
  switch (result) {
    case FileEnd::ok:
      ++counts.ok;
      break;
    case FileEnd::skipped:
      ++counts.skipped;
      break;
    case FileEnd::held:
      ++counts.held;
      break;
    case FileEnd::failed:
      ++counts.failed;
      break;
    case FileEnd::cancelled:
      break;
  }
}

void print_summary(const CommandSpec* command, const Options& options, const ManyEnd& end,
                   Sink out) {
  std::string line;
  if (command == nullptr) {
    line = "tavo x=xxx: " + grouped(end.ok) + " with a record, " + grouped(end.skipped) +
           " without, " + grouped(end.failed) + " failed";
  } else {
    line = std::string("tavo ") + command->text + (options.dry_run ? " (dry run): " : ": ") +
           grouped(end.ok) + " ok, " + grouped(end.skipped) + " skipped, " + grouped(end.failed) +
           " failed";
  }
  if (end.held > 0) line += ", " + grouped(end.held) + " in use by another run";
  if (end.left > 0) {
    line += "; stopped with " + grouped(end.left) + " of " + grouped(end.count) + " files left";
  }
  print(out, "%s\r\n", line.c_str());
}

// Whether `targets` is a single file, which any command may run on.
bool names_one_file(const std::vector<std::string>& targets) {
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  return targets.size() == 1 && !is_list(targets[0]) && !platform::is_pattern(targets[0].c_str()) &&
         platform::kind_of(targets[0].c_str(), size, own, identity) != platform::EntryKind::folder;
}

}  // namespace

std::string grouped(std::int64_t count) {
  std::string digits = std::to_string(count);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

ManyEnd run_batch(const CommandSpec* command, Key given, const std::vector<std::string>& targets,
                  const Options& options, const Channels& channels) {
  if (command != nullptr && command->record == RecordUse::none && !names_one_file(targets)) {
    // Nothing in a file tells whether it was done: a stopped batch run again
    // would transform some files twice.
    ManyEnd refused;
    refused.refused = true;
    refused.refusal = std::string(command->text) +
                      " runs on one file at a time: nothing in a file tells whether " +
                      command->text +
                      " already ran on it, so a run over many files that stopped could not be "
                      "resumed safely (en and de can)";
    print(channels.errors, "tavo: %s\r\n", refused.refusal.c_str());
    return refused;
  }
  const std::size_t budget = platform::folder_budget();
  FileList list(budget);
  add_targets(list, targets, options);
  if (command != nullptr) skip_other_names(list);
  ManyEnd end;
  end.result = Result::ok;
  end.count = static_cast<std::int64_t>(list.files.size());
  end.left = end.count;
  for (const FileEnd ended : run_in_order(list, budget, {command, given, options}, channels)) {
    count_in(ended, end);
    if (ended != FileEnd::cancelled) --end.left;
  }
  print_summary(command, options, end, channels.out);
  if (end.left > 0) {
    end.result = Result::cancelled;
  } else if (end.failed > 0 || end.held > 0) {
    end.result = Result::failed;
  }
  return end;
}

ManyEnd run_many(const ManyFiles& run, Sink out, Sink errors, Observer observer) {
  const CommandSpec* command = command_for(run.keyword);
  Options options;
  options.recursive = run.recursive;
  options.dry_run = run.dry_run;
  options.again = run.again;
  options.quiet = run.quiet;
  options.keep_time = run.keep_time;
  options.null_ends = run.null_ends;
  Channels channels(out, errors, observer);
  channels.keep_time = run.keep_time;
  const Key given{std::max(run.way, 1), std::max(run.factor, 1)};
  return run_batch(command, given, run.targets, options, channels);
}

}  // namespace tavo
