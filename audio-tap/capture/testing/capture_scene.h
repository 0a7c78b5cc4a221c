// A SystemAudioTap over fakes, with a machine that can capture: a tap of 48000 Hz
// float mono, a default output device "Speakers", and audio process objects for this
// process (pid 100) and its parent (pid 50). The queues are hand-stepped.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/capture/testing/fake_converter.h"
#include "audio-tap/capture/testing/fake_hardware.h"
#include "audio-tap/capture/uuid.h"
#include "audio-tap/process/testing/fake_process_info.h"
#include "audio-tap/process/testing/manual_queue.h"
#include "audio-tap/process/testing/recording_channels.h"

namespace vesk::testing {

struct CaptureScene {
  CaptureScene() {
    hardware.processObjects = {{100, 1100}, {50, 1050}};
    hardware.setFormat(11, float32Format(48000, 1));
    hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 40);
    hardware.setString(40, kAudioDevicePropertyDeviceUID, "Speakers");
  }

  std::shared_ptr<SystemAudioTap> makeTap(std::vector<ProcessID> extraPIDs = {},
                                          std::shared_ptr<ExcludedProcesses> descendants = nullptr) {
    return SystemAudioTap::make(
        CaptureContext{hardware, converters, process, output, settings,
                       [this](const std::string& label, QualityOfService qos) {
                         auto queue = std::make_shared<ManualQueue>(clock, label);
                         queues[label] = queue;
                         qualities[label] = qos;
                         return queue;
                       },
                       makeRandomUUID, &mainQueue, &clock},
        std::move(extraPIDs), std::move(descendants));
  }

  ManualQueue& conversionQueue() { return *queues.at("vesk.audio-tap.convert"); }
  FakeConverter& converter() { return *converters.converter; }

  /// One IO cycle of mono float samples (`frames` of them).
  bool deliverFloats(std::uint32_t frames, float value = 0.25f) {
    std::vector<float> samples(frames, value);
    AudioBuffer buffer{1, frames * 4, samples.data()};
    return hardware.deliver({1, &buffer});
  }

  /// `seconds` of the device's life in steps of 10 ms: an IO cycle of 480 mono float
  /// samples whenever the device makes one, the audio queues run, the clock moves on.
  void live(double seconds, float value = 0.25f) {
    std::vector<float> samples(480, value);
    for (long i = std::lround(seconds / 0.01); i > 0; --i) {
      AudioBuffer buffer{1, 480 * 4, samples.data()};
      hardware.runIO({1, &buffer});
      runAudioQueues();
      mainQueue.advance(0.01);
    }
    runAudioQueues();
  }
  void runAudioQueues() {
    queues.at("vesk.audio-tap.io")->runPending();
    conversionQueue().runPending();
  }

  ManualClock clock;
  ManualQueue mainQueue{clock, "main"};
  std::map<std::string, std::shared_ptr<ManualQueue>> queues;
  std::map<std::string, QualityOfService> qualities;
  FakeAudioHardware hardware;
  FakeConverterFactory converters;
  FakeProcessInfo process{100, 50};
  RecordingChannels output;
  Settings settings;
};

}  // namespace vesk::testing
