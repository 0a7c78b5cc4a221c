// Playing processes over the audio-hardware seam.
#include "audio-tap/capture/playing_processes.h"

#include <algorithm>

#include "audio-tap/capture/property_readers.h"

namespace vesk {

Json returnPlayingProcesses(AudioHardware& hardware, const std::vector<AudioObjectID>& leftOut) {
  Json processes = Json::array();
  for (AudioObjectID object : returnProcessObjectIDs(hardware)) {
    if (std::find(leftOut.begin(), leftOut.end(), object) != leftOut.end()) continue;
    const auto output = returnUInt32Property(hardware, object, kAudioProcessPropertyIsRunningOutput);
    if (!output || *output == 0) continue;
    const auto pid = returnUInt32Property(hardware, object, kAudioProcessPropertyPID);
    if (!pid) continue;
    Json entry;
    entry["pid"] = static_cast<std::int32_t>(*pid);
    entry["bundleId"] = returnStringProperty(hardware, object, kAudioProcessPropertyBundleID).value_or("");
    processes.push_back(std::move(entry));
  }
  return processes;
}

}  // namespace vesk
