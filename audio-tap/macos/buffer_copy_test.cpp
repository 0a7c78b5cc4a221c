// Tests of copying between buffer lists.
#include "audio-tap/macos/buffer_copy.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio-tap/capture/hardware.h"

namespace vesk {
namespace {

// A buffer type of its own with the same three fields, as the platform's is.
struct OtherBuffer {
  std::uint32_t mNumberChannels = 1;
  std::uint32_t mDataByteSize = 0;
  void* mData = nullptr;
};

struct Storage {
  std::vector<std::vector<std::uint8_t>> bytes;
  std::vector<AudioBuffer> buffers;
  Storage(std::initializer_list<std::pair<std::size_t, std::uint8_t>> sizesAndFill) {
    for (auto [size, fill] : sizesAndFill) bytes.emplace_back(size, fill);
    for (auto& b : bytes) buffers.push_back({1, static_cast<std::uint32_t>(b.size()), b.data()});
  }
};

TEST(CopyBufferData, CopiesWhatBothHold) {
  struct Case {
    const char* name;
    std::size_t fromSize;
    std::size_t toSize;
    std::size_t copied;
  };
  for (const Case& test : {Case{"equal", 8, 8, 8}, Case{"source shorter", 4, 8, 4}, Case{"source longer", 12, 8, 8},
                           Case{"empty source", 0, 8, 0}}) {
    Storage from{{test.fromSize, 0xAB}};
    Storage to{{test.toSize, 0x00}};
    EXPECT_EQ(copyBufferData(from.buffers.data(), 1, to.buffers.data(), 1), test.copied) << test.name;
    for (std::size_t i = 0; i < test.toSize; ++i) {
      EXPECT_EQ(to.bytes[0][i], i < test.copied ? 0xAB : 0x00) << test.name << " byte " << i;
    }
    EXPECT_EQ(to.buffers[0].mDataByteSize, test.toSize) << test.name << ": sizes are not changed";
  }
}

TEST(CopyBufferData, PairsBuffersByIndexAndIgnoresTheUnpaired) {
  Storage from{{4, 0x11}, {4, 0x22}, {4, 0x33}};
  Storage to{{4, 0x00}, {4, 0x00}};
  EXPECT_EQ(copyBufferData(from.buffers.data(), 3, to.buffers.data(), 2), 8u);
  EXPECT_EQ(to.bytes[0], std::vector<std::uint8_t>(4, 0x11));
  EXPECT_EQ(to.bytes[1], std::vector<std::uint8_t>(4, 0x22));

  Storage fewer{{4, 0x44}};
  EXPECT_EQ(copyBufferData(fewer.buffers.data(), 1, to.buffers.data(), 2), 4u);
  EXPECT_EQ(to.bytes[1], std::vector<std::uint8_t>(4, 0x22)) << "an entry with no source stays as it was";
}

TEST(CopyBufferData, SkipsBuffersWithoutData) {
  Storage from{{4, 0x11}, {4, 0x22}};
  from.buffers[0].mData = nullptr;
  Storage to{{4, 0x00}, {4, 0x00}};
  to.buffers[1].mData = nullptr;
  EXPECT_EQ(copyBufferData(from.buffers.data(), 2, to.buffers.data(), 2), 0u);
  EXPECT_EQ(to.bytes[0], std::vector<std::uint8_t>(4, 0x00));
  EXPECT_EQ(to.bytes[1], std::vector<std::uint8_t>(4, 0x00));
}

TEST(CopyBufferData, CopiesBetweenBufferTypes) {
  std::vector<std::uint8_t> samples = {1, 2, 3, 4, 5, 6};
  const AudioBuffer from{1, 6, samples.data()};
  std::vector<std::uint8_t> target(4, 0);
  OtherBuffer to{1, 4, target.data()};
  EXPECT_EQ(copyBufferData(&from, 1, &to, 1), 4u);
  EXPECT_EQ(target, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(copyBufferData(&from, 0, &to, 1), 0u);
}

}  // namespace
}  // namespace vesk
