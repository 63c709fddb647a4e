// One file of a run over many files (batch_file.h): its listing's verdict,
// its folder held while it runs, and the timing line after a transform.
#include "batch_file.h"

#include <ctime>

#include "output.h"

namespace tavo {
namespace {

// Passes each line on to `inner` and notes that one came.
struct NotingSink {
  Sink inner;
  bool wrote = false;
  static void write(void* context, const char* bytes, std::size_t count) {
    auto& self = *static_cast<NotingSink*>(context);
    self.wrote = true;
    self.inner.write(self.inner.context, bytes, count);
  }
};

// The folder `item` opens in, held until the list releases it; null for a
// file named by its path, or with `error` set when the folder cannot open.
const platform::Folder* hold_folder(FileList& list, const ListedFile& item, std::string& error) {
  if (item.folder < 0) return nullptr;
  int failed = item.folder;
  const platform::Folder* folder = list.folders.hold(item.folder, failed, error);
  if (folder == nullptr) {
    error = "cannot open the folder " + shown_name(list.folders.printed(failed, {})) + ": " + error;
  }
  return folder;
}

FileEnd run_file(const Batch& batch, const FileRef& file, const Channels& channels) {
  if (batch.command == nullptr) return peek_in_batch(file, channels);
  const Options& options = batch.options;
  NotingSink out{channels.out};
  Channels noted = channels;
  noted.out = Sink{&NotingSink::write, &out};
  const std::time_t start = std::time(nullptr);
  const FileEnd result = transform_in_batch(*batch.command, file, batch.given,
                                            {!options.again, options.dry_run}, noted);
  const std::time_t end = std::time(nullptr);
  // A file that could not be opened printed no line of its own, only its
  // reason: a timing line would name nothing.
  if (result != FileEnd::skipped && !options.dry_run && out.wrote) {
    print(channels.out, "use time: < %ds\r\n", static_cast<int>(end - start) + 1);
  }
  return result;
}

}  // namespace

FileEnd run_listed_file(const Batch& batch, FileList& list, std::size_t index,
                        const std::string& path, const std::string& shown, const Channels& channels,
                        std::string& reason) {
  const ListedFile& item = list.files[index];
  if (!item.skipped.empty()) {
    const char* keyword = batch.command != nullptr ? batch.command->text : kPeekKeyword;
    print(channels.out, "tavo %s file(%s) skipped\r\n", keyword, shown.c_str());
    print(channels.errors, "tavo: %s: %s\r\n", shown.c_str(), item.skipped.c_str());
    reason = item.skipped;
    return FileEnd::skipped;
  }
  std::string error = item.failed;
  const platform::Folder* folder = error.empty() ? hold_folder(list, item, error) : nullptr;
  if (!error.empty()) {
    print(channels.errors, "tavo: %s: %s\r\n", shown.c_str(), error.c_str());
    reason = error;
    return FileEnd::failed;
  }
  const FileRef file{path.c_str(), folder, item.name.c_str(), shown.c_str(), &reason};
  const FileEnd result = run_file(batch, file, channels);
  if (folder != nullptr) list.folders.release(item.folder);
  return result;
}

}  // namespace tavo
