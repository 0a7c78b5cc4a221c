// Tests of the aggregate-device dictionary: its eight keys, their kinds, and the two
// lists.
#include "audio-tap/macos/aggregate_dictionary.h"

#include <gtest/gtest.h>

#include "audio-tap/capture/system_audio_tap.h"

namespace vesk {
namespace {

const std::string& textAt(const PlainDictionary& dictionary, const std::string& key) {
  const PlainValue* value = dictionary.find(key);
  if (value == nullptr || !std::holds_alternative<std::string>(*value)) {
    ADD_FAILURE() << key << " is not a text";
    static const std::string none;
    return none;
  }
  return std::get<std::string>(*value);
}

bool flagAt(const PlainDictionary& dictionary, const std::string& key) {
  const PlainValue* value = dictionary.find(key);
  if (value == nullptr || !std::holds_alternative<bool>(*value)) {
    ADD_FAILURE() << key << " is not a Boolean";
    return false;
  }
  return std::get<bool>(*value);
}

const std::vector<PlainDictionary>& listAt(const PlainDictionary& dictionary, const std::string& key) {
  static const std::vector<PlainDictionary> none;
  const PlainValue* value = dictionary.find(key);
  if (value == nullptr || !std::holds_alternative<std::vector<PlainDictionary>>(*value)) {
    ADD_FAILURE() << key << " is not a list";
    return none;
  }
  return std::get<std::vector<PlainDictionary>>(*value);
}

AggregateDeviceDescription sampleDescription() {
  AggregateDeviceDescription description;
  description.name = "A tap device";
  description.uid = "org.example.device.1";
  description.mainSubDevice = "BuiltInSpeakerDevice";
  description.isPrivate = true;
  description.isStacked = false;
  description.tapAutoStart = true;
  description.subDevices = {{"BuiltInSpeakerDevice"}, {"USBHeadset"}};
  description.taps = {{"3F2504E0-4F89-11D3-9A0C-0305E82C3301", true}, {"other-tap", false}};
  return description;
}

TEST(AggregateDictionary, HasExactlyTheEightKeysInOrder) {
  const PlainDictionary dictionary = returnAggregateDictionary(sampleDescription());
  std::vector<std::string> keys;
  for (const auto& entry : dictionary.entries) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "uid", "master", "private", "stacked", "tapautostart",
                                            "subdevices", "taps"}));
}

TEST(AggregateDictionary, TextsAndFlagsKeepTheirKind) {
  const PlainDictionary dictionary = returnAggregateDictionary(sampleDescription());
  struct TextCase {
    const char* key;
    const char* expected;
  };
  for (const TextCase& test : {TextCase{"name", "A tap device"}, TextCase{"uid", "org.example.device.1"},
                               TextCase{"master", "BuiltInSpeakerDevice"}}) {
    EXPECT_EQ(textAt(dictionary, test.key), test.expected) << test.key;
  }
  struct FlagCase {
    const char* key;
    bool expected;
  };
  for (const FlagCase& test : {FlagCase{"private", true}, FlagCase{"stacked", false}, FlagCase{"tapautostart", true}}) {
    EXPECT_EQ(flagAt(dictionary, test.key), test.expected) << test.key;
  }
}

TEST(AggregateDictionary, FlagsFollowTheDescription) {
  AggregateDeviceDescription description = sampleDescription();
  description.isPrivate = false;
  description.isStacked = true;
  description.tapAutoStart = false;
  const PlainDictionary dictionary = returnAggregateDictionary(description);
  EXPECT_FALSE(flagAt(dictionary, "private"));
  EXPECT_TRUE(flagAt(dictionary, "stacked"));
  EXPECT_FALSE(flagAt(dictionary, "tapautostart"));
}

TEST(AggregateDictionary, SubDevicesAreDictionariesOfOneUID) {
  const PlainDictionary dictionary = returnAggregateDictionary(sampleDescription());
  const auto& subDevices = listAt(dictionary, "subdevices");
  ASSERT_EQ(subDevices.size(), 2u);
  for (std::size_t i = 0; i < subDevices.size(); ++i) EXPECT_EQ(subDevices[i].entries.size(), 1u);
  EXPECT_EQ(textAt(subDevices[0], "uid"), "BuiltInSpeakerDevice");
  EXPECT_EQ(textAt(subDevices[1], "uid"), "USBHeadset");
}

TEST(AggregateDictionary, TapsCarryUIDAndDriftCompensation) {
  const PlainDictionary dictionary = returnAggregateDictionary(sampleDescription());
  const auto& taps = listAt(dictionary, "taps");
  ASSERT_EQ(taps.size(), 2u);
  EXPECT_EQ(taps[0].entries.size(), 2u);
  EXPECT_EQ(textAt(taps[0], "uid"), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  EXPECT_TRUE(flagAt(taps[0], "drift"));
  EXPECT_EQ(textAt(taps[1], "uid"), "other-tap");
  EXPECT_FALSE(flagAt(taps[1], "drift"));
}

TEST(AggregateDictionary, EmptyListsAreStillGiven) {
  AggregateDeviceDescription description = sampleDescription();
  description.subDevices.clear();
  description.taps.clear();
  const PlainDictionary dictionary = returnAggregateDictionary(description);
  EXPECT_TRUE(listAt(dictionary, "subdevices").empty());
  EXPECT_TRUE(listAt(dictionary, "taps").empty());
  EXPECT_EQ(dictionary.find("clock"), nullptr);
}

// The device the capture asks for: its tap named by the tap's UUID, the output device
// as main and only sub-device, drift compensation on, private, not stacked, auto-start.
TEST(AggregateDictionary, OfTheCaptureDevice) {
  const PlainDictionary dictionary = returnAggregateDictionary(
      returnAggregateDeviceDescription("0F8E7D6C-0000-4000-8000-000000000001", "Speakers", "TAP-UUID"));
  EXPECT_EQ(textAt(dictionary, "name"), kTapName);
  EXPECT_EQ(textAt(dictionary, "uid"), std::string(kAggregateUIDPrefix) + "0F8E7D6C-0000-4000-8000-000000000001");
  EXPECT_EQ(textAt(dictionary, "master"), "Speakers");
  EXPECT_TRUE(flagAt(dictionary, "private"));
  EXPECT_FALSE(flagAt(dictionary, "stacked"));
  EXPECT_TRUE(flagAt(dictionary, "tapautostart"));
  const auto& subDevices = listAt(dictionary, "subdevices");
  ASSERT_EQ(subDevices.size(), 1u);
  EXPECT_EQ(textAt(subDevices[0], "uid"), "Speakers");
  const auto& taps = listAt(dictionary, "taps");
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(textAt(taps[0], "uid"), "TAP-UUID");
  EXPECT_TRUE(flagAt(taps[0], "drift"));
}

}  // namespace
}  // namespace vesk
