// The in-place pass over a file, chunk by chunk.
#ifndef TAVO_CHUNKED_PASS_H
#define TAVO_CHUNKED_PASS_H

#include <cstdint>

#include "platform.h"
#include "tavo/tavo.h"
#include "transforms.h"

namespace tavo {

inline constexpr std::int64_t kNoDataLength = -1;

// How far a pass got.
struct PassOutcome {
  bool ok;            // false: a read or a write failed part-way
  std::int64_t done;  // bytes from offset 0 that hold transformed data
  bool rest_intact;   // every byte from `done` on holds its old value
};

// Reads the file from offset 0 in chunks of kChunkSize bytes into `buffer`
// (kChunkBufferSize bytes), applies the transform with the factor's low byte
// and writes each chunk back over itself. Stops at the end of the file or,
// when `data_length` is not kNoDataLength, after that many bytes.
// When a write fails, the chunk's old bytes are written back where possible,
// so the caller can undo [0, done) and get the file back as it was.
PassOutcome process_chunks(platform::File file, Transform transform, std::int32_t factor,
                           std::int64_t data_length, std::uint8_t* buffer,
                           const Observer& observer = {});

// Runs a pass; if it fails, reverses what it had transformed. Returns true
// when the pass completed. `restored` tells whether, after a failure, the
// file holds its old bytes again.
bool process_chunks_or_undo(platform::File file, Transform transform, std::int32_t factor,
                            std::int64_t data_length, std::uint8_t* buffer, bool& restored,
                            const Observer& observer);

}  // namespace tavo

#endif  // TAVO_CHUNKED_PASS_H
