// Capture over libpulse: recordings are made and dropped on the main loop's thread
// (or the main queue, holding the loop's lock); samples are pushed into the mixer on
// the main loop's thread, which wakes the IO queue when a cycle is ready; the clock
// runs on the IO queue (its timers and those wake-ups) and calls the IO block there.
#include "audio-tap/pulse/tap_capture.h"

#include "audio-tap/process/process_tree.h"
#include "audio-tap/pulse/cycle_clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

namespace vesk::pulse {
namespace {

constexpr const char* kStreamName = "Vesk meeting tap";
// One IO cycle. Frames are 200 ms, a whole number of cycles, and the converter keeps
// 2:1 output in step with its input, so a frame is complete the moment the cycle that
// ends it leaves: the cycle's length adds no delay to frames.
constexpr double kCycleSeconds = 0.050;
// What the server is asked to send at a time. Half a cycle: on PipeWire each fragment
// is a message to this process, and 10 ms fragments cost the helper twice the CPU of
// these (PulseAudio sends as its sink renders, whatever the size asked).
constexpr double kFragmentSeconds = 0.025;
constexpr double kLateSeconds = 0.100;      // how late a playing stream may be before it is padded
constexpr double kIdleSeconds = 0.200;      // silence handed over per wake-up while nothing plays
constexpr double kMaxSeconds = 0.500;       // the most a stream may run ahead

std::optional<std::int32_t> pidOfInput(const pa_sink_input_info& info) {
  const char* text = info.proplist ? pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
  if (!text) return std::nullopt;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || pid <= 0 || pid > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(pid);
}

}  // namespace

struct TapCapture::Recording {
  TapCapture* owner;
  std::uint32_t sinkInputIndex;
  std::uint32_t sinkIndex;
  std::optional<std::int32_t> pid;
  std::uint32_t channels = 1;  // interleaved in what the server sends
  pa_sample_format_t format = PA_SAMPLE_FLOAT32NE;  // float or 16-bit, native endian
  pa_stream* stream = nullptr;

  ~Recording() {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};

TapCapture::TapCapture(PulseConnection& connection, std::uint32_t rate, std::vector<std::int32_t> excludedPids,
                       ProcessTable* ancestry, SerialQueue& ioQueue, AudioDeviceIOBlock block)
    : connection_(connection),
      rate_(rate),
      ancestry_(ancestry),
      ioQueue_(ioQueue),
      block_(std::move(block)),
      mixer_(static_cast<std::size_t>(std::lround(rate * kCycleSeconds)), static_cast<std::size_t>(rate * kMaxSeconds)),
      excludedPids_(std::move(excludedPids)),
      cycle_(mixer_.cycleFrames()),
      zeros_(static_cast<std::size_t>(std::lround(kIdleSeconds / kCycleSeconds)) * mixer_.cycleFrames()) {}

TapCapture::~TapCapture() { stop(); }

OSStatus TapCapture::start() {
  {
    PulseConnection::Lock hold(connection_);
    OSStatus status = 0;
    pa_context* context = connection_.readyContext(status);
    if (!context) return status;
    // Where each sink's streams can be heard.
    sinkMonitors_.clear();
    pa_operation* sinks = pa_context_get_sink_info_list(
        context,
        [](pa_context*, const pa_sink_info* info, int eol, void* self) {
          if (eol || !info || !info->monitor_source_name) return;
          static_cast<TapCapture*>(self)->sinkMonitors_[info->index] = {
              info->monitor_source_name, info->channel_map, info->sample_spec.format};
        },
        this);
    status = connection_.waitFor({sinks});
    if (status != 0) return status;
    capturing_ = true;
    // Streams already playing; later ones arrive as events.
    pa_operation* inputs = pa_context_get_sink_input_info_list(context, onInputInfo, this);
    status = connection_.waitFor({inputs});
    if (status != 0) {
      capturing_ = false;
      recordings_.clear();
      return status;
    }
  }
  started_ = secondsNow();
  delivered_ = 0;
  silence_ = 0;
  delivering_->store(true);
  pumpQueued_.store(true);
  ioQueue_.async([this, delivering = delivering_] {
    if (delivering->load()) pump();
  });
  return 0;
}

void TapCapture::stop() {
  delivering_->store(false);
  // Work already on the IO queue finds `delivering_` false; this waits out a pump
  // that is running, so nothing touches this object or calls the block afterwards.
  ioQueue_.sync([] {});
  if (tick_) tick_->cancel();
  PulseConnection::Lock hold(connection_);
  capturing_ = false;
  cancelPending();
  recordings_.clear();
  mixer_.clear();
}

// Requests answered later on the main loop's thread carry this object: each is kept
// until it is done, so that stop() can cancel those still running before the object
// goes (an answer to a request made just before a rebuild came after it, and read
// freed memory).
void TapCapture::track(pa_operation* operation) {
  if (!operation) return;
  std::erase_if(pending_, [](pa_operation* op) {
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(op);
    return true;
  });
  pending_.push_back(operation);
}

void TapCapture::cancelPending() {
  for (pa_operation* op : pending_) {
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
  }
  pending_.clear();
}

void TapCapture::onSinkInputEvent(pa_subscription_event_type_t type, std::uint32_t index) {
  if (!capturing_) return;
  auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    forget(index);
    return;
  }
  OSStatus status = 0;
  // Asked without waiting: this is the main loop's own thread.
  if (pa_context* context = connection_.readyContext(status)) {
    track(pa_context_get_sink_input_info(context, index, onInputInfo, this));
  }
}

void TapCapture::onConnectionLost() {
  recordings_.clear();
  mixer_.clear();
}

void TapCapture::onInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* data) {
  auto* self = static_cast<TapCapture*>(data);
  if (eol || !info || !self->capturing_) return;
  auto existing = self->recordings_.find(info->index);
  // A stream that moved to another sink is heard through that sink's monitor now.
  if (existing != self->recordings_.end() && existing->second->sinkIndex == info->sink) return;
  self->forget(info->index);
  self->record(context, *info);
}

bool TapCapture::isExcluded(std::optional<std::int32_t> pid) {
  if (!pid) return false;
  if (std::find(excludedPids_.begin(), excludedPids_.end(), *pid) != excludedPids_.end()) return true;
  // The ancestry as it is now: a stream that appears is checked before it is heard.
  return ancestry_ && descendsFrom(*ancestry_, *pid, excludedPids_);
}

void TapCapture::setExcludedPids(std::vector<std::int32_t> excludedPids) {
  excludedPids_ = std::move(excludedPids);
  std::vector<std::uint32_t> ended;
  for (const auto& [index, recording] : recordings_) {
    if (isExcluded(recording->pid)) ended.push_back(index);
  }
  for (std::uint32_t index : ended) forget(index);
}

void TapCapture::record(pa_context* context, const pa_sink_input_info& input) {
  auto pid = pidOfInput(input);
  if (isExcluded(pid)) return;
  auto monitor = sinkMonitors_.find(input.sink);
  if (monitor == sinkMonitors_.end()) {
    // A sink that appeared after start: learn its monitor, then try again.
    pa_operation* op = pa_context_get_sink_info_by_index(
        context, input.sink,
        [](pa_context* c, const pa_sink_info* info, int eol, void* self) {
          auto* capture = static_cast<TapCapture*>(self);
          if (eol || !info || !info->monitor_source_name || !capture->capturing_) return;
          capture->sinkMonitors_[info->index] = {info->monitor_source_name, info->channel_map,
                                                 info->sample_spec.format};
          capture->track(pa_context_get_sink_input_info_list(c, onInputInfo, capture));
        },
        this);
    track(op);
    return;
  }
  // Recorded in the channels its sink's monitor carries, so the server mixes nothing
  // down: the mono mix is the average of the channels on every server (asked for mono,
  // PulseAudio averages but PipeWire adds them up scaled by 1/sqrt(2), which lifts a
  // stereo tone by 3 dB and clips one near full scale).
  const pa_channel_map& channels = monitor->second.channels;
  // In the sink's own sample format too, where the mixer takes it (PulseAudio's sinks
  // are 16-bit by default, PipeWire's float): the server converts nothing.
  const pa_sample_format_t format =
      monitor->second.format == PA_SAMPLE_S16NE ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
  pa_sample_spec spec{format, rate_, channels.channels};
  if (!pa_channel_map_valid(&channels) || !pa_sample_spec_valid(&spec)) return;
  auto recording = std::make_unique<Recording>();
  recording->owner = this;
  recording->sinkInputIndex = input.index;
  recording->sinkIndex = input.sink;
  recording->pid = pid;
  recording->channels = channels.channels;
  recording->format = format;
  recording->stream = pa_stream_new(context, kStreamName, &spec, &channels);
  if (!recording->stream) return;
  // Only this one input of the sink, not the whole monitor: that is how a mix leaves
  // processes out.
  if (pa_stream_set_monitor_stream(recording->stream, input.index) < 0) return;
  pa_stream_set_read_callback(recording->stream, onRead, recording.get());
  pa_stream_set_state_callback(recording->stream, onStreamState, recording.get());
  pa_buffer_attr attr;
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(kFragmentSeconds * 1e6), &spec));
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(recording->stream, monitor->second.source.c_str(), &attr, flags) < 0) return;
  mixer_.addStream(input.index);
  recordings_[input.index] = std::move(recording);
}

void TapCapture::forget(std::uint32_t sinkInputIndex) {
  recordings_.erase(sinkInputIndex);
  mixer_.removeStream(sinkInputIndex);
}

void TapCapture::onRead(pa_stream* stream, std::size_t, void* data) {
  auto* recording = static_cast<Recording*>(data);
  auto& mixer = recording->owner->mixer_;
  while (pa_stream_readable_size(stream) > 0) {
    const void* samples = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &samples, &bytes) < 0 || bytes == 0) break;
    const bool isFloat = recording->format == PA_SAMPLE_FLOAT32NE;
    const std::size_t frames = bytes / ((isFloat ? sizeof(float) : sizeof(std::int16_t)) * recording->channels);
    const std::uint32_t key = recording->sinkInputIndex;
    bool ready = !samples ? mixer.pushSilence(key, frames)  // a hole in the stream
                 : isFloat ? mixer.push(key, static_cast<const float*>(samples), frames, recording->channels)
                           : mixer.push(key, static_cast<const std::int16_t*>(samples), frames, recording->channels);
    pa_stream_drop(stream);
    TapCapture* self = recording->owner;
    if (ready && !self->pumpQueued_.exchange(true)) {
      self->ioQueue_.async([self, delivering = self->delivering_] {
        if (delivering->load()) self->pump();
      });
    }
  }
}

void TapCapture::onStreamState(pa_stream* stream, void* data) {
  auto* recording = static_cast<Recording*>(data);
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    // The input went away (or the server): stop hearing it. Dropping the recording
    // here is safe: the stream outlives this callback by its caller's reference.
    TapCapture* owner = recording->owner;
    owner->mixer_.removeStream(recording->sinkInputIndex);
    // An input that moved to another sink ends its recording here: ask where it is
    // now, and record it there.
    if (!owner->capturing_) return;
    owner->track(
        pa_context_get_sink_input_info(pa_stream_get_context(stream), recording->sinkInputIndex, onInputInfo, owner));
  }
}

double TapCapture::secondsNow() const {
  // The clock of the queue's deadlines (SteadyClock of the Linux platform).
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TapCapture::pump() {
  const auto due = static_cast<std::uint64_t>(std::max(0.0, (secondsNow() - started_) * rate_));
  const auto view = [&] {
    return ClockView{delivered_ + silence_, due, mixer_.cycleFrames(),
                     static_cast<std::uint64_t>(rate_ * kLateSeconds),
                     mixer_.anyPlaying(), mixer_.ready()};
  };
  for (CycleAction action; (action = nextCycle(view())) != CycleAction::wait;) {
    if (action == CycleAction::silence) {
      silence_ += mixer_.cycleFrames();  // handed over below, with the rest of it
      continue;
    }
    deliverSilence();
    deliverCycle();
  }
  deliverSilence();
  // A cycle that is in but ahead of real time waits for the timer; any other cycle
  // is announced by the server's thread when it is in.
  const ClockView now = view();
  pumpQueued_.store(now.ready);
  scheduleTick(nextLook(now, static_cast<std::uint64_t>(rate_ * kIdleSeconds)));
}

void TapCapture::scheduleTick(std::uint64_t dueAtFrames) {
  const double deadline = started_ + static_cast<double>(dueAtFrames) / rate_;
  if (tickAt_ >= 0 && tickAt_ <= deadline) return;  // the pending tick comes first and looks again
  tickAt_ = deadline;
  tick_ = std::make_shared<WorkItem>([this, delivering = delivering_, deadline] {
    if (!delivering->load()) return;
    if (tickAt_ == deadline) tickAt_ = -1;
    pump();
  });
  ioQueue_.asyncAfter(deadline, tick_);
}

void TapCapture::deliverCycle() {
  mixer_.mix(cycle_.data());
  AudioBuffer buffer{1, static_cast<std::uint32_t>(cycle_.size() * sizeof(float)), cycle_.data()};
  block_(AudioBufferListRef{1, &buffer});
  delivered_ += cycle_.size();
}

// The silence of all the cycles owed goes in as few buffers as it fills, so that while
// nothing plays a wake-up of the clock costs one buffer down the pipeline, not one a
// cycle.
void TapCapture::deliverSilence() {
  while (silence_ > 0) {
    const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(silence_, zeros_.size()));
    AudioBuffer buffer{1, static_cast<std::uint32_t>(frames * sizeof(float)), zeros_.data()};
    block_(AudioBufferListRef{1, &buffer});
    delivered_ += frames;
    silence_ -= frames;
  }
}

}  // namespace vesk::pulse
