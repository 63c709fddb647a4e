// libFuzzer target: the dispatcher with arbitrary argument vectors on a
// scratch file whose content also comes from the input.
//
// Input layout: two bytes (little-endian) give the length of the file's
// content, which follows; the rest is split at zero bytes into the argument
// vector. Element 1, the path, is placed inside a private scratch folder
// ('/' becomes '_'), so the target never reaches any other file; the name
// "f" is the scratch file.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "record.h"
#include "tavo/tavo.h"

namespace {

constexpr std::size_t kMaxContent = 4096;
constexpr std::size_t kMaxArguments = 8;

void require(bool condition) {
  if (!condition) std::abort();
}

// Made on first use, removed with everything in it when the fuzzer exits.
struct ScratchFolder {
  std::string path;
  ~ScratchFolder() {
    std::remove((path + "/f").c_str());
    rmdir(path.c_str());
  }
};

const std::string& scratch_folder() {
  static const ScratchFolder folder{[] {
    // A memory file system where there is one: truncating and rewriting
    // the file on every run is far slower on a disk.
    char in_memory[] = "/dev/shm/tavo-fuzz-XXXXXX";
    if (mkdtemp(in_memory) != nullptr) return std::string(in_memory);
    char on_disk[] = "/tmp/tavo-fuzz-XXXXXX";
    require(mkdtemp(on_disk) != nullptr);
    return std::string(on_disk);
  }()};
  return folder.path;
}

std::string read_all(const std::string& path) {
  std::string bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

void write_all(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  require(f != nullptr);
  require(size == 0 || std::fwrite(data, 1, size, f) == size);
  require(std::fclose(f) == 0);
}

void collect(void* context, const char* bytes, std::size_t count) {
  static_cast<std::string*>(context)->append(bytes, count);
}

bool valid_record_at_end(const std::string& bytes) {
  if (bytes.size() < tavo::kRecordSize) return false;
  tavo::Record record{};
  std::memcpy(record.data(), bytes.data() + bytes.size() - record.size(), record.size());
  return tavo::check_header(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t content_size = static_cast<std::size_t>(data[0] | (data[1] << 8));
  data += 2;
  size -= 2;
  if (content_size > size) content_size = size;
  if (content_size > kMaxContent) content_size = kMaxContent;
  const std::string file = scratch_folder() + "/f";
  write_all(file, data, content_size);
  const std::string before(reinterpret_cast<const char*>(data), content_size);
  data += content_size;
  size -= content_size;

  std::vector<std::string> strings(1);
  for (std::size_t i = 0; i < size && strings.size() <= kMaxArguments; ++i) {
    if (data[i] == 0) {
      strings.emplace_back();
    } else {
      strings.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (strings.size() > kMaxArguments) strings.resize(kMaxArguments);
  // Every element that could name a file or a folder (a run over many files
  // takes several, and walks folders) is kept inside the scratch folder; the
  // keywords, numbers and options stay as they came.
  for (std::size_t i = 1; i < strings.size(); ++i) {
    const std::string& text = strings[i];
    const bool word = i >= 2 && (text.empty() || text[0] == '-' || text[0] == '+' ||
                                 std::isdigit(static_cast<unsigned char>(text[0])) ||
                                 text.compare(0, 2, "en") == 0 || text.compare(0, 2, "de") == 0 ||
                                 text.compare(0, 2, "rx") == 0 || text.compare(0, 2, "x=") == 0);
    if (word) continue;
    std::string name = text;
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    strings[i] = scratch_folder() + "/" + name;
  }
  std::vector<const char*> argv;
  for (const std::string& s : strings) argv.push_back(s.c_str());
  argv.push_back(nullptr);

  std::string output;
  const tavo::Result result =
      tavo::dispatch_command(static_cast<int>(strings.size()), argv.data(), {collect, &output});

  require(result == tavo::Result::failed || result == tavo::Result::ok);
  // The echo line first; every line ends in "\r\n".
  require(output.compare(0, strings[0].size() + 2, strings[0] + "\r\n") == 0);
  require(output.size() >= 2 && output.compare(output.size() - 2, 2, "\r\n") == 0);

  // Longer command lines may name several files; the checks below are those
  // of a single run.
  if (strings.size() > 5) return 0;
  const std::string after = read_all(file);
  const bool on_scratch = strings.size() >= 2 && strings[1] == file;
  if (!on_scratch || result != tavo::Result::ok) {
    // A refused command leaves the file exactly as it was.
    require(after == before);
  } else if (strings.size() >= 3) {
    const std::string& keyword = strings[2];
    if (keyword.compare(0, 2, "en") == 0) {
      require(after.size() == before.size() + tavo::kRecordSize && valid_record_at_end(after));
    } else if (keyword.compare(0, 2, "de") == 0) {
      require(after.size() + tavo::kRecordSize == before.size());
    } else if (keyword.compare(0, 5, "x=xxx") == 0) {
      require(after == before);
    } else {
      require(after.size() == before.size());
    }
  }
  return 0;
}
