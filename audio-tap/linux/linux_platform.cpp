// The Linux platform of the audio tap: thread queues with the main queue served on
// the main thread, the pidfd parent watch, getpid/getppid, the /proc process table,
// and _exit. Audio: the session's PulseAudio (or pipewire-pulse) server. Made on the
// main thread at start-up.
#include <signal.h>
#include <unistd.h>

#include "audio-tap/linux/parent_watch.h"
#include "audio-tap/linux/pcm_converters.h"
#include "audio-tap/linux/proc_process_table.h"
#include "audio-tap/linux/thread_queue.h"
#include "audio-tap/process/platform.h"
#include "audio-tap/pulse/pulse_hardware.h"

namespace vesk {
namespace {

pulse::QueuedWork returnQueuedWork() {
  const ThreadQueue::Work work = ThreadQueue::returnCurrentWork();
  return {work.id, work.timed};
}

class LinuxProcessInfo final : public ProcessInfo {
 public:
  ProcessID returnProcessID() override { return ::getpid(); }
  ProcessID returnParentProcessID() override { return ::getppid(); }
};

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform()
      : processTable_(makeProcProcessTable()),
        hardware_(pulse::makePulseHardware(*processTable_, &returnQueuedWork)),
        converters_(makePcmConverterFactory()) {}

  AudioHardware& hardware() override { return *hardware_; }
  AudioConverterFactory& converters() override { return *converters_; }
  ProcessInfo& processInfo() override { return processInfo_; }
  ProcessTable& processTable() override { return *processTable_; }
  const Clock& clock() override { return clock_; }
  SerialQueue& mainQueue() override { return mainQueue_; }
  // Capture's IO and conversion queues share one thread here. The IO clock on Linux
  // is a timer of our own that hands over mixed audio, not a device's real-time
  // thread, and converting a cycle right after it is made saves a wake-up per cycle
  // (20 a second while something plays, 5 while nothing does).
  std::shared_ptr<SerialQueue> makeSerialQueue(const std::string&, QualityOfService) override {
    if (!captureQueue_) captureQueue_ = ThreadQueue::startOnOwnThread("vesk.capture");
    return captureQueue_;
  }
  void watchParent(ProcessID pid, std::function<void()> onExit) override {
    watchParentProcess(pid, mainQueue_, std::move(onExit));
  }
  [[noreturn]] void runMainQueue() override {
    mainQueue_.serve();
    exitProcess();  // nothing makes serve() return, but if it did the end is the same
  }
  [[noreturn]] void exitProcess() override { ::_exit(0); }

 private:
  std::unique_ptr<ProcessTable> processTable_;
  std::unique_ptr<AudioHardware> hardware_;
  std::unique_ptr<AudioConverterFactory> converters_;
  LinuxProcessInfo processInfo_;
  SteadyClock clock_;
  ThreadQueue mainQueue_;
  std::shared_ptr<ThreadQueue> captureQueue_;  // made on the main thread, as is capture
};

}  // namespace

#if defined(__SANITIZE_THREAD__)
// libpulse is not built with ThreadSanitizer, so the sanitizer cannot see the locks
// inside it and misreads their own use as races. Only races within it are ignored.
extern "C" const char* __tsan_default_suppressions() { return "race:libpulsecommon\nrace:libpulse.so\n"; }
#endif

std::unique_ptr<Platform> makePlatform() {
  // A host that closed its end of a pipe must not kill the helper.
  ::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<LinuxPlatform>();
}

}  // namespace vesk
