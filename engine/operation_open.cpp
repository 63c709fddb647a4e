// Opening the file of an operation (operation_open.h).
#include "operation_open.h"

namespace tavo {

using platform::Access;
using platform::EntryKind;
using platform::File;
using platform::FileSystem;
using platform::OpenStatus;

std::uint8_t* buffer_for(const Channels& channels, std::unique_ptr<IoBuffer>& own) {
  if (channels.buffer != nullptr) return channels.buffer;
  own.reset(new IoBuffer);  // not zeroed: only read into
  return own->bytes;
}

FileSystem& files_of(const Channels& channels) {
  return channels.files != nullptr ? *channels.files : platform::system_files();
}

Outcome open_for(const Command& command, Access access, File& file, std::string& detail) {
  FileSystem& files = files_of(command.channels);
  const FileRef* ref = command.file;
  // A name found in a walked folder opens inside it; any other by its path.
  const bool in_folder = ref != nullptr && ref->folder != nullptr;
  const OpenStatus status = files.open_in(in_folder ? ref->folder : nullptr,
                                          in_folder ? ref->name : command.path, access, file);
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

}  // namespace tavo
