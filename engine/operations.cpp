#include "operations.h"

#include <memory>

#include "chunked_pass.h"
#include "header.h"
#include "output.h"
#include "platform.h"
#include "transforms.h"

namespace tavo {
namespace {

using platform::File;

// Page-aligned: the kernel copies into and out of an aligned buffer faster.
struct ChunkBuffer {
  alignas(4096) std::uint8_t bytes[kChunkBufferSize];
  std::uint8_t* data() { return bytes; }
};

std::unique_ptr<ChunkBuffer> chunk_buffer() { return std::make_unique<ChunkBuffer>(); }

int fail_with_io_error(Sink out, const char* keyword, const char* path) {
  print(out, "tavo %s file(%s) io error\r\n", keyword, path);
  return 0;
}

int refuse(File file, Sink out, const char* format, const char* path) {
  print(out, format, path);
  platform::close_file(file);
  return 0;
}

// Closes the file and reports the result of a completed pass.
int finish(File file, bool completed, Sink out, const char* keyword, const char* path) {
  const bool closed = platform::close_file(file);
  if (!completed || !closed) return fail_with_io_error(out, keyword, path);
  print(out, "tavo %s file(%s) ok.\r\n", keyword, path);
  return 1;
}

bool read_record(File file, std::int64_t offset, Record& record) {
  std::size_t got = 0;
  return platform::read_at(file, offset, record.data(), record.size(), got) && got == record.size();
}

}  // namespace

int encrypt_rude(const char* path, std::int32_t x, std::int32_t p, const Channels& channels) {
  const Sink out = channels.out;
  File file{};
  if (!platform::open_for_update(path, file)) return 0;
  const int way = x & 0xFF;
  if (!is_known_way(way)) return refuse(file, out, "tavo en file(%s) unknown way\r\n", path);
  auto buffer = chunk_buffer();
  bool restored = false;
  const bool completed = process_chunks_or_undo(file, {way, Direction::forward}, p, kNoDataLength,
                                                buffer->data(), restored, channels.observer);
  return finish(file, completed, out, "rxen", path);
}

int decrypt_rude(const char* path, std::int32_t x, std::int32_t p, const Channels& channels) {
  const Sink out = channels.out;
  File file{};
  if (!platform::open_for_update(path, file)) return 0;
  std::int64_t size = 0;
  if (!platform::file_size(file, size)) {
    platform::close_file(file);
    return fail_with_io_error(out, "rxde", path);
  }
  if (!is_known_way(x)) return refuse(file, out, "tavo rxde file(%s) unknown way\r\n", path);
  auto buffer = chunk_buffer();
  bool restored = false;
  const bool completed = process_chunks_or_undo(file, {static_cast<int>(x), Direction::reverse}, p,
                                                size, buffer->data(), restored, channels.observer);
  return finish(file, completed, out, "rxde", path);
}

int encrypt_with_header(const char* path, std::int32_t x, std::int32_t p,
                        const Channels& channels) {
  const Sink out = channels.out;
  File file{};
  if (!platform::open_for_update(path, file)) return 0;
  Record record{};
  build_header(path, x, p, record);
  const int way = record[kWayOffset];
  if (!is_known_way(way)) return refuse(file, out, "tavo en file(%s) unknown way\r\n", path);

  std::int64_t data_length = 0;
  if (!platform::file_size(file, data_length)) {
    platform::close_file(file);
    return fail_with_io_error(out, "en", path);
  }
  // Claim the record's room before any data changes: a full disk or a size
  // limit then stops the operation while the file is still as it was, and an
  // interrupted pass leaves zeros where a valid record would be.
  const Record zeros{};
  if (!platform::write_at(file, data_length, zeros.data(), zeros.size())) {
    platform::set_size(file, data_length);
    platform::close_file(file);
    return fail_with_io_error(out, "en", path);
  }
  const Transform transform{way, Direction::forward};
  auto buffer = chunk_buffer();
  bool restored = false;
  bool completed = process_chunks_or_undo(file, transform, p, data_length, buffer->data(), restored,
                                          channels.observer);
  if (completed && !platform::write_at(file, data_length, record.data(), record.size())) {
    restored = process_chunks(file, inverse(transform), p, data_length, buffer->data()).ok;
    completed = false;
  }
  if (!completed) {
    // Only data that is back as it was loses the reserved room. Data that
    // could not be restored keeps the zeros after it, like a pass that was
    // killed: "de" refuses such a file instead of taking it for plain data.
    if (restored) {
      platform::set_size(file, data_length);
    } else {
      // A record write that got part way may have left a valid record.
      platform::write_at(file, data_length, zeros.data(), zeros.size());
    }
    platform::close_file(file);
    return fail_with_io_error(out, "en", path);
  }
  return finish(file, true, out, "en", path);
}

int decrypt_with_header(const char* path, std::int32_t x, std::int32_t p,
                        const Channels& channels) {
  const Sink out = channels.out;
  File file{};
  if (!platform::open_for_update(path, file)) return 0;
  std::int64_t size = 0;
  if (!platform::file_size(file, size)) {
    platform::close_file(file);
    return fail_with_io_error(out, "de", path);
  }
  if (size < static_cast<std::int64_t>(kRecordSize)) {
    platform::close_file(file);
    return 0;
  }
  const std::int64_t data_length = size - static_cast<std::int64_t>(kRecordSize);
  Record record{};
  if (!read_record(file, data_length, record)) {
    platform::close_file(file);
    return fail_with_io_error(out, "de", path);
  }
  if (!check_header(record)) return refuse(file, out, "unknown tavo?file(%s)\r\n", path);
  if (x != record[kWayOffset]) return refuse(file, out, "tavo de file(%s) x!=x\r\n", path);
  if (p != record[kFactorOffset]) return refuse(file, out, "tavo de file(%s) p!=p\r\n", path);
  if (!is_known_way(x)) return refuse(file, out, "tavo de file(%s) unknown way\r\n", path);

  // Decrypted data must never stay in front of a still valid record, or a
  // second "de" would decrypt it twice. So the record is overwritten with
  // zeros before any data changes, and written back only over data that is
  // encrypted again; a pass that is killed or cannot be undone leaves the
  // zeros, and "de" then refuses the file.
  const Record zeros{};
  if (!platform::write_at(file, data_length, zeros.data(), zeros.size())) {
    platform::write_at(file, data_length, record.data(), record.size());
    platform::close_file(file);
    return fail_with_io_error(out, "de", path);
  }
  const Transform transform{static_cast<int>(x), Direction::reverse};
  auto buffer = chunk_buffer();
  bool restored = false;
  bool completed = process_chunks_or_undo(file, transform, p, data_length, buffer->data(), restored,
                                          channels.observer);
  if (completed && !platform::set_size(file, data_length)) {
    restored = process_chunks(file, inverse(transform), p, data_length, buffer->data()).ok;
    completed = false;
  }
  if (!completed) {
    if (restored) platform::write_at(file, data_length, record.data(), record.size());
    platform::close_file(file);
    return fail_with_io_error(out, "de", path);
  }
  return finish(file, true, out, "de", path);
}

int peek_header(const char* path, const Channels& channels) {
  const Sink out = channels.out;
  File file{};
  if (!platform::open_for_update(path, file)) return 0;
  std::int64_t size = 0;
  Record record{};
  const bool found = platform::file_size(file, size) &&
                     size >= static_cast<std::int64_t>(kRecordSize) &&
                     read_record(file, size - static_cast<std::int64_t>(kRecordSize), record) &&
                     check_header(record);
  platform::close_file(file);
  if (!found) {
    print(out, "unknown tavo?file?\r\n");
    return 0;
  }
  unscramble_name(record);
  print_text(out, printed_form(record));
  return 1;
}

}  // namespace tavo
