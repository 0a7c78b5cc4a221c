#include "audio-tap/capture/property_readers.h"

#include <gtest/gtest.h>

#include "audio-tap/capture/testing/fake_hardware.h"

namespace vesk {
namespace {

using testing::FakeAudioHardware;

constexpr AudioObjectID kSystem = kAudioObjectSystemObject;

TEST(PropertyReadersTest, FourCharCodes) {
  EXPECT_EQ(kAudioObjectPropertyScopeGlobal, 0x676C6F62u);
  EXPECT_EQ(kAudioHardwarePropertyDefaultInputDevice, 0x64496E20u);
  EXPECT_EQ(kAudioDevicePropertyDeviceIsRunningSomewhere, 0x676F6E65u);
}

TEST(PropertyReadersTest, DefaultInputDevice) {
  FakeAudioHardware hw;
  EXPECT_EQ(returnDefaultInputDeviceID(hw), std::nullopt);  // unreadable
  hw.setUInt32(kSystem, kAudioHardwarePropertyDefaultInputDevice, 0);
  EXPECT_EQ(returnDefaultInputDeviceID(hw), std::nullopt);  // no device
  hw.setUInt32(kSystem, kAudioHardwarePropertyDefaultInputDevice, 77);
  EXPECT_EQ(returnDefaultInputDeviceID(hw), 77u);
  hw.setFailing(kSystem, kAudioHardwarePropertyDefaultInputDevice, -1);
  EXPECT_EQ(returnDefaultInputDeviceID(hw), std::nullopt);
}

TEST(PropertyReadersTest, DefaultOutputDeviceUIDReadsDeviceThenUID) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> device;  // none: the read fails
    std::optional<std::string> uid;       // none: the read fails
    std::optional<std::string> expected;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"device unreadable", std::nullopt, "spk", std::nullopt, {"get 1 sOut"}},
      {"device 0", 0, "spk", std::nullopt, {"get 1 sOut"}},
      {"uid unreadable", 40, std::nullopt, std::nullopt, {"get 1 sOut", "string 40 uid "}},
      {"empty uid", 40, "", "", {"get 1 sOut", "string 40 uid "}},
      {"uid", 40, "BuiltInSpeakerDevice", "BuiltInSpeakerDevice", {"get 1 sOut", "string 40 uid "}},
  };
  for (const auto& c : cases) {
    FakeAudioHardware hw;
    if (c.device) hw.setUInt32(kSystem, kAudioHardwarePropertyDefaultSystemOutputDevice, *c.device);
    if (c.uid) {
      hw.setString(40, kAudioDevicePropertyDeviceUID, *c.uid);
    } else {
      hw.setFailing(40, kAudioDevicePropertyDeviceUID, -10);
    }
    EXPECT_EQ(returnDefaultOutputDeviceUID(hw), c.expected) << c.name;
    EXPECT_EQ(hw.takeCalls(), c.calls) << c.name;
  }
}

TEST(PropertyReadersTest, ProcessObjectTranslationPassesThePIDAsQualifier) {
  FakeAudioHardware hw;
  hw.processObjects = {{500, 90}, {-3, 91}};
  hw.failingPIDs = {600};
  EXPECT_EQ(returnProcessObjectID(hw, 500), 90u);
  EXPECT_EQ(returnProcessObjectID(hw, -3), 91u);
  EXPECT_EQ(returnProcessObjectID(hw, 600), std::nullopt);  // refused
  EXPECT_EQ(returnProcessObjectID(hw, 700), std::nullopt);  // translated to 0
  EXPECT_EQ(hw.translatedPIDs, (std::vector<std::int32_t>{500, -3, 600, 700}));
}

TEST(PropertyReadersTest, TapFormatIsAbsentOnFailureEvenIfBytesWereWritten) {
  FakeAudioHardware hw;
  AudioStreamBasicDescription format;
  format.mSampleRate = 48000;
  format.mChannelsPerFrame = 2;
  hw.setFormat(11, format);
  EXPECT_EQ(returnTapFormat(hw, 11), format);
  hw.setFailing(11, kAudioTapPropertyFormat, -1);
  EXPECT_EQ(returnTapFormat(hw, 11), std::nullopt);
  EXPECT_EQ(returnTapFormat(hw, 12), std::nullopt);
}

TEST(PropertyReadersTest, UInt32AndStringProperties) {
  FakeAudioHardware hw;
  hw.setUInt32(5, kAudioProcessPropertyIsRunningInput, 0);
  hw.setUInt32(5, kAudioProcessPropertyPID, 0xFFFFFFFF);
  hw.setString(5, kAudioProcessPropertyBundleID, "com.example.app");
  EXPECT_EQ(returnUInt32Property(hw, 5, kAudioProcessPropertyIsRunningInput), 0u);  // 0 is a value
  EXPECT_EQ(returnUInt32Property(hw, 5, kAudioProcessPropertyPID), 0xFFFFFFFFu);
  EXPECT_EQ(returnUInt32Property(hw, 6, kAudioProcessPropertyPID), std::nullopt);
  EXPECT_EQ(returnStringProperty(hw, 5, kAudioProcessPropertyBundleID), "com.example.app");
  hw.setFailing(5, kAudioProcessPropertyBundleID, -1);
  EXPECT_EQ(returnStringProperty(hw, 5, kAudioProcessPropertyBundleID), std::nullopt);
}

TEST(PropertyReadersTest, ProcessObjectList) {
  using IDs = std::vector<AudioObjectID>;
  struct Case {
    const char* name;
    std::function<void(FakeAudioHardware&)> scene;
    IDs expected;
  };
  const auto list = [](FakeAudioHardware& hw) { hw.setProcessList({7, 8, 9}); };
  const std::vector<Case> cases = {
      {"size query fails", [](FakeAudioHardware&) {}, {}},
      {"size 0", [](FakeAudioHardware& hw) { hw.setProcessList({}); }, {}},
      {"size 2",
       [&](FakeAudioHardware& hw) {
         list(hw);
         hw.properties[{kSystem, kAudioHardwarePropertyProcessObjectList}].reportedSize = 2;
       },
       {}},
      {"12 bytes", list, {7, 8, 9}},
      {"data query fails",
       [&](FakeAudioHardware& hw) {
         list(hw);
         hw.setFailing(kSystem, kAudioHardwarePropertyProcessObjectList, -1);
         hw.sizeQuerySucceedsWhenReadFails = true;
       },
       {}},
      {"partial fill keeps zeros",
       [&](FakeAudioHardware& hw) {
         list(hw);
         hw.properties[{kSystem, kAudioHardwarePropertyProcessObjectList}].bytesWritten = 8;
       },
       {7, 8, 0}},
      {"list grew between the calls: only the announced entries",
       [&](FakeAudioHardware& hw) {
         list(hw);
         hw.properties[{kSystem, kAudioHardwarePropertyProcessObjectList}].reportedSize = 8;
       },
       {7, 8}},
  };
  for (const auto& c : cases) {
    FakeAudioHardware hw;
    c.scene(hw);
    EXPECT_EQ(returnProcessObjectIDs(hw), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace vesk
