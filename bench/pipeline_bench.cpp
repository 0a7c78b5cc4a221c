// Throughput of the capture pipeline without a sound server: 48 kHz float mono
// buffers of 10 ms go through the IO step, the real converter (libsoxr) and the
// chunking into 200 ms frames, as on the audio queues. "x_realtime" is seconds of
// audio handled per second of CPU.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/capture/testing/fake_converter.h"
#include "audio-tap/capture/testing/fake_hardware.h"
#include "audio-tap/capture/uuid.h"
#include "audio-tap/linux/pcm_converters.h"
#include "audio-tap/process/testing/fake_process_info.h"
#include "audio-tap/process/testing/manual_queue.h"

namespace vesk {
namespace {

class CountingChannels final : public OutputChannels {
 public:
  void emit(const Json&) override {}
  void writeFrame(std::string_view payload) override {
    bytes += payload.size();
    ++frames;
  }
  std::size_t bytes = 0;
  std::size_t frames = 0;
};

constexpr double kRate = 48000;
constexpr std::uint32_t kFramesPerBuffer = 480;

void BM_PipelineThroughput(benchmark::State& state) {
  testing::ManualClock clock;
  std::map<std::string, std::shared_ptr<testing::ManualQueue>> queues;
  testing::FakeAudioHardware hardware;
  hardware.processObjects = {{100, 1100}, {50, 1050}};
  hardware.setFormat(11, testing::float32Format(kRate, 1));
  hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 40);
  hardware.setString(40, kAudioDevicePropertyDeviceUID, "Speakers");
  auto converters = makePcmConverterFactory();
  testing::FakeProcessInfo process{100, 50};
  CountingChannels output;
  Settings settings;
  auto tap = SystemAudioTap::make(
      CaptureContext{hardware, *converters, process, output, settings,
                     [&](const std::string& label, QualityOfService) {
                       return queues[label] = std::make_shared<testing::ManualQueue>(clock, label);
                     },
                     makeRandomUUID},
      {});
  if (tap->start()) {
    state.SkipWithError("capture did not start");
    return;
  }
  // One second of a 1 kHz tone, made before timing starts (sox, the peer, reads a
  // file made beforehand too) and played round and round.
  std::vector<float> signal(static_cast<std::size_t>(kRate));
  for (std::size_t i = 0; i < signal.size(); ++i) {
    signal[i] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / kRate));
  }
  std::size_t offset = 0;
  for (auto _ : state) {
    AudioBuffer buffer{1, kFramesPerBuffer * 4, signal.data() + offset};
    offset = (offset + kFramesPerBuffer) % signal.size();
    hardware.deliver({1, &buffer});
    for (auto& [label, queue] : queues) queue->runPending();
  }
  tap->stop();
  double audioSeconds = static_cast<double>(state.iterations()) * kFramesPerBuffer / kRate;
  state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.counters["frames_out"] = static_cast<double>(output.frames);
}
BENCHMARK(BM_PipelineThroughput)->MinTime(2.0);

}  // namespace
}  // namespace vesk

BENCHMARK_MAIN();
