// One connection to the sound server, on libpulse's threaded main loop, that comes
// back by itself: every request first makes sure the context is ready and connects
// afresh when the server went away and came back. Requests wait for their answer
// with a deadline, so a hung server never hangs the caller.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/pulse/pulse_hardware.h"
#include "audio-tap/pulse/server_snapshot.h"

namespace vesk::pulse {

/// A failure status: the server's error code, negated; -PA_ERR_TIMEOUT for a deadline.
OSStatus statusFromPulseError(int error);

class PulseConnection {
 public:
  /// Called on the main loop's thread for every change the server reports, and once
  /// with `connected` false when the connection drops.
  using ChangeHandler = std::function<void(pa_subscription_event_type_t facilityAndType, std::uint32_t index)>;
  using LossHandler = std::function<void()>;

  /// Which piece of queued work the calling thread runs, as the platform's queues
  /// tell them apart.
  using CurrentWork = QueuedWork (*)();

  /// `currentWork`: null, or how reads made by one piece of work are told apart.
  explicit PulseConnection(CurrentWork currentWork = nullptr);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  /// Registered once, before the first request.
  void setHandlers(ChangeHandler onChange, LossHandler onLoss);

  /// Holds the main loop's lock for the life of the guard. Every use of the context
  /// and of streams happens under it. Not on the main loop's own thread.
  class Lock {
   public:
    explicit Lock(PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PulseConnection& connection_;
  };

  /// A ready context, connecting first when there is none. With the lock held.
  /// On failure `status` holds why and the result is null.
  pa_context* readyContext(OSStatus& status);

  /// Waits (lock held) until every operation is done, the context fails or the
  /// deadline passes, then releases them. 0 when all finished.
  OSStatus waitFor(std::initializer_list<pa_operation*> operations, double seconds = kRequestSeconds);

  /// Waits (lock held) until `done` says so, the context fails or the deadline passes.
  OSStatus waitUntil(const std::function<bool()>& done, double seconds = kRequestSeconds);

  /// Wakes every waiter so it looks at its condition again. Main loop thread.
  void signal();

  /// Reads everything the object model needs. Lock not held. The first read of a
  /// piece of work is a round trip, so no answer outlives the connection it came from;
  /// while the server has reported no change since the last whole read, that read is
  /// the answer and the round trip is one small request instead of five lists (which
  /// also brings the default devices, and a new one makes it a whole read). Later
  /// reads of the same piece of work (one check, one command) take the answer its
  /// round trip brought while no change has come since: what one piece of work asks
  /// is one look at the server. Timed work (the capture check, a delayed step) asks
  /// a server that announces every change for no round trip at all: the kept read
  /// holds all that the server announced, and no host waits on the answer.
  /// The answer is shared and never changes: a read costs no copy of the lists.
  OSStatus snapshot(std::shared_ptr<const ServerSnapshot>& out);

  pa_threaded_mainloop* mainloop() { return mainloop_; }

  static constexpr double kConnectSeconds = 2.0;
  static constexpr double kRequestSeconds = 2.0;

 private:
  OSStatus connect();
  void dropContext();
  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                             void* self);

  OSStatus readSnapshot(pa_context* context, std::shared_ptr<const ServerSnapshot>& out);
  OSStatus readServerInfo(pa_context* context, std::string& defaultSink, std::string& defaultSource);
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* snapshot);

  pa_threaded_mainloop* mainloop_;
  pa_context* context_ = nullptr;
  bool lossReported_ = true;
  // Changes the server reported on this connection, and the last whole read with the
  // count it was sent at: the read holds while the count has not moved. Lock held.
  std::uint64_t changes_ = 0;
  std::shared_ptr<const ServerSnapshot> kept_;
  std::uint64_t keptAt_ = 0;
  const CurrentWork currentWork_;
  std::uint64_t keptFor_ = 0;  // the piece of work whose round trip last found kept_ current
  ChangeHandler onChange_;
  LossHandler onLoss_;
};

}  // namespace vesk::pulse
