// The macOS platform of the audio tap: Core Audio hardware, AVFAudio converters,
// libdispatch queues with the main queue served by the main run loop, the parent
// watch as a dispatch process source, getpid/getppid, the sysctl process table, and
// _exit. Made on the main thread at start-up; the parent's exit handler runs on the
// main queue.
#import <Foundation/Foundation.h>

#include <dispatch/dispatch.h>
#include <signal.h>
#include <unistd.h>

#include "audio-tap/macos/av_audio_converter.h"
#include "audio-tap/macos/core_audio_hardware.h"
#include "audio-tap/macos/darwin_process_table.h"
#include "audio-tap/macos/dispatch_queue.h"
#include "audio-tap/process/platform.h"

namespace vesk {
namespace {

class MacProcessInfo final : public ProcessInfo {
 public:
  ProcessID returnProcessID() override { return ::getpid(); }
  ProcessID returnParentProcessID() override { return ::getppid(); }
};

class MacPlatform final : public Platform {
 public:
  MacPlatform()
      : hardware_(makeCoreAudioHardware()),
        converters_(makeAVAudioConverterFactory()),
        processTable_(makeDarwinProcessTable()),
        mainQueue_(dispatch_get_main_queue()) {}

  AudioHardware& hardware() override { return *hardware_; }
  AudioConverterFactory& converters() override { return *converters_; }
  ProcessInfo& processInfo() override { return processInfo_; }
  ProcessTable& processTable() override { return *processTable_; }
  const Clock& clock() override { return clock_; }
  SerialQueue& mainQueue() override { return mainQueue_; }

  std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override {
    return std::make_shared<DispatchSerialQueue>(label, qos);
  }

  void watchParent(ProcessID pid, std::function<void()> onExit) override {
    parentSource_ = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, static_cast<uintptr_t>(pid), DISPATCH_PROC_EXIT,
                                           dispatch_get_main_queue());
    if (!parentSource_) {  // no source could be made: end as if the parent had gone
      dispatch_async(dispatch_get_main_queue(), ^{
        onExit();
      });
      return;
    }
    dispatch_source_set_event_handler(parentSource_, ^{
      onExit();
    });
    dispatch_resume(parentSource_);
    // The parent exited between the identifier being read and the watch beginning:
    // this process has been handed to a new parent already. Should the source fire
    // as well, the first handler to run ends the process.
    if (::getppid() != pid) {
      dispatch_async(dispatch_get_main_queue(), ^{
        onExit();
      });
    }
  }

  [[noreturn]] void runMainQueue() override {
    // The main run loop serves the main dispatch queue. An idle port, to which
    // nothing is ever sent, keeps it from returning for want of input sources.
    NSRunLoop* mainLoop = [NSRunLoop mainRunLoop];
    [mainLoop addPort:[[NSPort alloc] init] forMode:NSDefaultRunLoopMode];
    [mainLoop run];
    exitProcess();  // nothing makes run return, but if it did the end is the same
  }

  [[noreturn]] void exitProcess() override { ::_exit(0); }

 private:
  std::unique_ptr<AudioHardware> hardware_;
  std::unique_ptr<AudioConverterFactory> converters_;
  std::unique_ptr<ProcessTable> processTable_;
  MacProcessInfo processInfo_;
  HostClock clock_;
  DispatchSerialQueue mainQueue_;
  dispatch_source_t parentSource_ = nullptr;  // kept for the life of the process
};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
  // A host that closed its end of a pipe must not kill the helper.
  ::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<MacPlatform>();
}

}  // namespace vesk
