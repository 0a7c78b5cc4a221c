// Connection to the sound server over libpulse's threaded main loop. Requests come
// from the main queue and the capture engine with the loop's lock held; the loop's
// own thread runs every callback.
#include "audio-tap/pulse/pulse_connection.h"

#include <pulse/rtclock.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <vector>

namespace vesk::pulse {
namespace {

constexpr const char* kClientName = "Vesk meeting tap";

pa_usec_t deadlineAfter(double seconds) { return pa_rtclock_now() + static_cast<pa_usec_t>(seconds * 1e6); }


std::optional<std::int32_t> pidFrom(pa_proplist* props) {
  const char* text = props ? pa_proplist_gets(props, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
  if (!text) return std::nullopt;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  // The server does not check this property: take only a plain positive number.
  if (end == text || *end != '\0' || pid <= 0 || pid > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(pid);
}

std::string textFrom(pa_proplist* props, const char* key) {
  const char* text = props ? pa_proplist_gets(props, key) : nullptr;
  return text ? text : "";
}

Stream streamFrom(std::uint32_t index, std::uint32_t device, pa_proplist* props, int corked,
                  const char* resampleMethod) {
  Stream stream;
  stream.index = index;
  stream.device = device;
  stream.pid = pidFrom(props);
  stream.applicationID = textFrom(props, PA_PROP_APPLICATION_ID);
  stream.binary = textFrom(props, PA_PROP_APPLICATION_PROCESS_BINARY);
  stream.corked = corked != 0;
  // Level meters record with peak detection, which the server reports as this method.
  stream.isPeak = resampleMethod && std::string_view(resampleMethod) == "peaks";
  return stream;
}

}  // namespace

OSStatus statusFromPulseError(int error) { return error > 0 ? -error : -PA_ERR_UNKNOWN; }

PulseConnection::PulseConnection(CurrentWork currentWork)
    : mainloop_(pa_threaded_mainloop_new()), currentWork_(currentWork) {
  pa_threaded_mainloop_set_name(mainloop_, "vesk-pulse");
  pa_threaded_mainloop_start(mainloop_);
}

PulseConnection::~PulseConnection() {
  {
    Lock hold(*this);
    dropContext();
  }
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

void PulseConnection::setHandlers(ChangeHandler onChange, LossHandler onLoss) {
  Lock hold(*this);
  onChange_ = std::move(onChange);
  onLoss_ = std::move(onLoss);
}

PulseConnection::Lock::Lock(PulseConnection& connection) : connection_(connection) {
  pa_threaded_mainloop_lock(connection_.mainloop_);
}
PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(connection_.mainloop_); }

void PulseConnection::signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

pa_context* PulseConnection::readyContext(OSStatus& status) {
  status = 0;
  if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return context_;
  status = connect();
  return status == 0 ? context_ : nullptr;
}

OSStatus PulseConnection::connect() {
  dropContext();
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kClientName);
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), kClientName, props);
  pa_proplist_free(props);
  if (!context_) return statusFromPulseError(PA_ERR_INTERNAL);
  pa_context_set_state_callback(context_, onContextState, this);
  // Never start a server of our own: capture follows the one the session runs.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    OSStatus status = statusFromPulseError(pa_context_errno(context_));
    dropContext();
    return status;
  }
  OSStatus status = waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; },
                              kConnectSeconds);
  if (status != 0) {
    dropContext();
    return status;
  }
  lossReported_ = false;
  pa_context_set_subscribe_callback(context_, onSubscription, this);
  auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                  PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                  PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SERVER);
  if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr)) pa_operation_unref(op);
  return 0;
}

void PulseConnection::dropContext() {
  kept_.reset();
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

OSStatus PulseConnection::waitUntil(const std::function<bool()>& done, double seconds) {
  if (!context_) return statusFromPulseError(PA_ERR_CONNECTIONTERMINATED);
  struct Alarm {
    PulseConnection* self;
    bool timedOut;
  } alarm{this, false};
  pa_time_event* timer = pa_context_rttime_new(
      context_, deadlineAfter(seconds),
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
        auto* a = static_cast<Alarm*>(data);
        a->timedOut = true;
        a->self->signal();
      },
      &alarm);
  OSStatus status = 0;
  for (;;) {
    if (done()) break;
    pa_context_state_t state = pa_context_get_state(context_);
    if (!PA_CONTEXT_IS_GOOD(state)) {
      status = statusFromPulseError(pa_context_errno(context_));
      break;
    }
    if (alarm.timedOut) {
      status = statusFromPulseError(PA_ERR_TIMEOUT);
      break;
    }
    pa_threaded_mainloop_wait(mainloop_);
  }
  if (timer) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return status;
}

OSStatus PulseConnection::waitFor(std::initializer_list<pa_operation*> operations, double seconds) {
  std::vector<pa_operation*> ops(operations);
  for (pa_operation* op : ops) {
    if (!op) {
      for (pa_operation* other : ops) {
        if (other) {
          pa_operation_cancel(other);
          pa_operation_unref(other);
        }
      }
      return statusFromPulseError(context_ ? pa_context_errno(context_) : PA_ERR_CONNECTIONTERMINATED);
    }
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* self) { static_cast<PulseConnection*>(self)->signal(); }, this);
  }
  OSStatus status = waitUntil(
      [&] {
        for (pa_operation* op : ops) {
          if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) return false;
        }
        return true;
      },
      seconds);
  for (pa_operation* op : ops) {
    pa_operation_set_state_callback(op, nullptr, nullptr);
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
  }
  return status;
}

OSStatus PulseConnection::snapshot(std::shared_ptr<const ServerSnapshot>& out) {
  Lock hold(*this);
  OSStatus status = 0;
  pa_context* context = readyContext(status);
  if (!context) return status;
  const QueuedWork work = currentWork_ ? currentWork_() : QueuedWork{};
  if (kept_ && keptAt_ == changes_) {
    const bool lookedAlready = work.id != 0 && work.id == keptFor_;
    if (lookedAlready || (work.timed && kept_->announcesEveryChange())) {
      out = kept_;
      return 0;
    }
    // The answer comes after every change the server reported before it: if none
    // came, the kept read is what the server holds now. A new default device is
    // looked for in the answer too: PipeWire under load may not report one.
    std::string defaultSink, defaultSource;
    status = readServerInfo(context, defaultSink, defaultSource);
    if (status != 0) return status;
    if (kept_ && keptAt_ == changes_ && kept_->defaultSink == defaultSink && kept_->defaultSource == defaultSource) {
      keptFor_ = work.id;
      out = kept_;
      return 0;
    }
  }
  const std::uint64_t sentAt = changes_;
  status = readSnapshot(context, out);
  if (status != 0) return status;
  // Kept only when no change came while its lists were being read, and only when it
  // lists its own default devices: one read between two states is read again (a new
  // default sink that is not listed yet has the first sink stand in for it, and a kept
  // read would hold that for as long as the server reports no change).
  if (sentAt == changes_ && out->listsItsDefaults()) {
    kept_ = out;
    keptAt_ = sentAt;
    keptFor_ = work.id;
  } else {
    kept_.reset();
  }
  return 0;
}

OSStatus PulseConnection::readServerInfo(pa_context* context, std::string& defaultSink, std::string& defaultSource) {
  ServerSnapshot defaults;
  OSStatus status = waitFor({pa_context_get_server_info(context, onServerInfo, &defaults)});
  defaultSink = std::move(defaults.defaultSink);
  defaultSource = std::move(defaults.defaultSource);
  return status;
}

void PulseConnection::onServerInfo(pa_context*, const pa_server_info* info, void* snapshot) {
  auto* s = static_cast<ServerSnapshot*>(snapshot);
  if (!info) return;
  s->defaultSink = info->default_sink_name ? info->default_sink_name : "";
  s->defaultSource = info->default_source_name ? info->default_source_name : "";
  s->serverName = info->server_name ? info->server_name : "";
}

OSStatus PulseConnection::readSnapshot(pa_context* context, std::shared_ptr<const ServerSnapshot>& out) {
  ServerSnapshot snap;
  pa_operation* server = pa_context_get_server_info(context, onServerInfo, &snap);
  pa_operation* sinks = pa_context_get_sink_info_list(
      context,
      [](pa_context*, const pa_sink_info* info, int eol, void* data) {
        if (eol || !info) return;
        static_cast<ServerSnapshot*>(data)->sinks.push_back(
            Sink{info->index, info->name ? info->name : "", info->sample_spec.rate,
                 info->monitor_source_name ? info->monitor_source_name : ""});
      },
      &snap);
  pa_operation* sources = pa_context_get_source_info_list(
      context,
      [](pa_context*, const pa_source_info* info, int eol, void* data) {
        if (eol || !info) return;
        bool isMonitor = info->monitor_of_sink != PA_INVALID_INDEX ||
                         textFrom(info->proplist, PA_PROP_DEVICE_CLASS) == "monitor";
        static_cast<ServerSnapshot*>(data)->sources.push_back(
            Source{info->index, info->name ? info->name : "", isMonitor});
      },
      &snap);
  pa_operation* inputs = pa_context_get_sink_input_info_list(
      context,
      [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
        if (eol || !info) return;
        static_cast<ServerSnapshot*>(data)->sinkInputs.push_back(
            streamFrom(info->index, info->sink, info->proplist, info->corked, info->resample_method));
      },
      &snap);
  pa_operation* outputs = pa_context_get_source_output_info_list(
      context,
      [](pa_context*, const pa_source_output_info* info, int eol, void* data) {
        if (eol || !info) return;
        static_cast<ServerSnapshot*>(data)->sourceOutputs.push_back(
            streamFrom(info->index, info->source, info->proplist, info->corked, info->resample_method));
      },
      &snap);
  OSStatus status = waitFor({server, sinks, sources, inputs, outputs});
  if (status == 0) out = std::make_shared<const ServerSnapshot>(std::move(snap));
  return status;
}

void PulseConnection::onContextState(pa_context* context, void* data) {
  auto* self = static_cast<PulseConnection*>(data);
  pa_context_state_t state = pa_context_get_state(context);
  if (!PA_CONTEXT_IS_GOOD(state)) self->kept_.reset();
  if (!PA_CONTEXT_IS_GOOD(state) && !self->lossReported_) {
    self->lossReported_ = true;
    if (self->onLoss_) self->onLoss_();
  }
  self->signal();
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                                     void* data) {
  auto* self = static_cast<PulseConnection*>(data);
  ++self->changes_;
  if (self->onChange_) self->onChange_(type, index);
}

}  // namespace vesk::pulse
