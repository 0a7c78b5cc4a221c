// The aggregate-device description as the plain key-value tree that Core Audio reads
// as a dictionary: texts, Booleans, and lists of dictionaries. Building the tree is
// plain C++ so that the keys and the shape can be tested anywhere; the macOS hardware
// turns the tree into a CFDictionary without looking at what it holds.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "audio-tap/capture/hardware.h"

namespace vesk {

// The keys Core Audio reads, spelled as its headers define them (the macOS hardware
// checks each against the SDK's own definition at compile time).
inline constexpr const char* kAggregateNameKey = "name";                // kAudioAggregateDeviceNameKey
inline constexpr const char* kAggregateUIDKey = "uid";                  // kAudioAggregateDeviceUIDKey
inline constexpr const char* kAggregateMainSubDeviceKey = "master";     // kAudioAggregateDeviceMainSubDeviceKey
inline constexpr const char* kAggregateIsPrivateKey = "private";        // kAudioAggregateDeviceIsPrivateKey
inline constexpr const char* kAggregateIsStackedKey = "stacked";        // kAudioAggregateDeviceIsStackedKey
inline constexpr const char* kAggregateTapAutoStartKey = "tapautostart";  // kAudioAggregateDeviceTapAutoStartKey
inline constexpr const char* kAggregateSubDeviceListKey = "subdevices";  // kAudioAggregateDeviceSubDeviceListKey
inline constexpr const char* kAggregateTapListKey = "taps";             // kAudioAggregateDeviceTapListKey
inline constexpr const char* kSubDeviceUIDKey = "uid";                  // kAudioSubDeviceUIDKey
inline constexpr const char* kSubTapUIDKey = "uid";                     // kAudioSubTapUIDKey
inline constexpr const char* kSubTapDriftCompensationKey = "drift";     // kAudioSubTapDriftCompensationKey

struct PlainDictionary;
using PlainValue = std::variant<std::string, bool, std::vector<PlainDictionary>>;

/// Entries in the order they were added; every key appears once.
struct PlainDictionary {
  std::vector<std::pair<std::string, PlainValue>> entries;

  /// The value under `key`, or null.
  const PlainValue* find(const std::string& key) const;
};

/// The eight entries of an aggregate device: name, UID, main sub-device, private,
/// stacked, tap auto-start, the sub-device list (one dictionary with a UID per
/// sub-device) and the tap list (one dictionary with a UID and drift compensation
/// per tap).
PlainDictionary returnAggregateDictionary(const AggregateDeviceDescription& description);

}  // namespace vesk
