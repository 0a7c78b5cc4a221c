// The aggregate-device description as a plain key-value tree. Called on the main queue.
#include "audio-tap/macos/aggregate_dictionary.h"

namespace vesk {

const PlainValue* PlainDictionary::find(const std::string& key) const {
  for (const auto& [entryKey, value] : entries) {
    if (entryKey == key) return &value;
  }
  return nullptr;
}

PlainDictionary returnAggregateDictionary(const AggregateDeviceDescription& description) {
  std::vector<PlainDictionary> subDevices;
  for (const AggregateSubDevice& device : description.subDevices) {
    subDevices.push_back({{{kSubDeviceUIDKey, device.uid}}});
  }
  std::vector<PlainDictionary> taps;
  for (const AggregateSubTap& tap : description.taps) {
    taps.push_back({{{kSubTapDriftCompensationKey, tap.driftCompensation}, {kSubTapUIDKey, tap.uid}}});
  }
  return {{
      {kAggregateNameKey, description.name},
      {kAggregateUIDKey, description.uid},
      {kAggregateMainSubDeviceKey, description.mainSubDevice},
      {kAggregateIsPrivateKey, description.isPrivate},
      {kAggregateIsStackedKey, description.isStacked},
      {kAggregateTapAutoStartKey, description.tapAutoStart},
      {kAggregateSubDeviceListKey, std::move(subDevices)},
      {kAggregateTapListKey, std::move(taps)},
  }};
}

}  // namespace vesk
