// Output channels for tests: keep every event and frame as the process would send
// them. Thread-safe, so tests that run real queues can use them too.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "audio-tap/process/output.h"

namespace vesk::testing {

class RecordingChannels final : public OutputChannels {
 public:
  void emit(const Json& event) override {
    std::lock_guard<std::mutex> hold(mutex_);
    events.push_back(event);
    journal.push_back("event " + event.value("event", std::string()));
  }
  void writeFrame(std::string_view payload) override {
    std::lock_guard<std::mutex> hold(mutex_);
    frames.emplace_back(payload);
    journal.push_back("frame " + std::to_string(payload.size()));
  }

  /// The events sent since the last call, then forgets them.
  std::vector<Json> takeEvents() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(events, {});
  }
  /// The "event" names of the events sent since the last call.
  std::vector<std::string> takeEventNames() {
    std::vector<std::string> names;
    for (const auto& event : takeEvents()) {
      std::string name = event.value("event", std::string());
      if (name == "debug") name += ":" + event.value("step", std::string());
      names.push_back(name);
    }
    return names;
  }
  std::vector<std::string> takeFrames() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(frames, {});
  }

  std::vector<Json> events;
  std::vector<std::string> frames;
  std::vector<std::string> journal;  // events and frames in the order they were sent

 private:
  std::mutex mutex_;
};

}  // namespace vesk::testing
