// Copying audio between two buffer lists of the same layout but different owners:
// the core's PCM buffers and the platform's. Written over any buffer type with
// Core Audio's three fields, so it serves both and can be tested anywhere.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vesk {

/// Copies buffer i of `from` into entry i of `to` for every index both lists have,
/// as many bytes as both hold; buffers with no data are skipped. Entries keep their
/// byte sizes. Returns the number of bytes copied.
template <class FromBuffer, class ToBuffer>
std::uint64_t copyBufferData(const FromBuffer* from, std::uint32_t fromCount, ToBuffer* to, std::uint32_t toCount) {
  std::uint64_t copied = 0;
  const std::uint32_t count = std::min(fromCount, toCount);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (from[i].mData == nullptr || to[i].mData == nullptr) continue;
    const std::uint32_t bytes = std::min(from[i].mDataByteSize, to[i].mDataByteSize);
    std::memcpy(to[i].mData, from[i].mData, bytes);
    copied += bytes;
  }
  return copied;
}

}  // namespace vesk
