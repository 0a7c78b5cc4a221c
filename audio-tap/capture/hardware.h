// The audio-hardware seam: the calls this system makes on the platform's audio
// object model, in Core Audio's shapes. Every device, process and tap is an object
// with a 32-bit ID; every fact about it is a property named by an address (selector,
// scope, element); every call answers with a signed 32-bit status, 0 for success.
//
// The property readers, SystemAudioTap, the conversion pipeline and the input
// watcher are written once against this interface. The macOS backend passes each
// call straight to Core Audio; the Linux backend emulates the object model over its
// own sound system; tests use a fake that records calls and can be told to fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vesk {

class SerialQueue;

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;

/// A four-character code packed with its first character in the most significant byte.
constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

constexpr OSStatus kAudioHardwareNoError = 0;
/// The platform's audio system is not running (or there is none).
constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(fourCharCode("nope"));
constexpr OSStatus kAudio_ParamError = -50;

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// The properties this system reads.
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultSystemOutputDevice = fourCharCode("sOut");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject = fourCharCode("id2p");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");
constexpr AudioObjectPropertySelector kAudioTapPropertyDescription = fourCharCode("tdsc");
/// The tap's own UID (a string), by which an aggregate device's tap list names it.
constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningInput = fourCharCode("piri");
constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunningSomewhere = fourCharCode("gone");
// What capture watches and finds while it runs: a process playing audio, a device's
// nominal rate and whether it is still alive, its streams (input scope) and their
// formats, and which of them an IO proc is handed (set, input scope).
constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = fourCharCode("livn");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = fourCharCode("sfmt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyIOProcStreamUsage = fourCharCode("suse");

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector = 0;
  AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
  AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;
  bool operator==(const AudioObjectPropertyAddress&) const = default;
};

/// The global, main-element address of a selector: the only kind this system uses.
constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

/// A stream format, laid out like Core Audio's 40-byte record.
struct AudioStreamBasicDescription {
  double mSampleRate = 0;
  std::uint32_t mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;
  std::uint32_t mReserved = 0;
  bool operator==(const AudioStreamBasicDescription&) const = default;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

/// One buffer of audio, laid out like Core Audio's.
struct AudioBuffer {
  std::uint32_t mNumberChannels = 0;
  std::uint32_t mDataByteSize = 0;
  void* mData = nullptr;
};

/// The buffers of one IO cycle, shaped like Core Audio's AudioBufferList: a count
/// and that many buffers. A view: valid only while the call that hands it over runs.
struct AudioBufferListRef {
  std::uint32_t mNumberBuffers = 0;
  const AudioBuffer* mBuffers = nullptr;
};

/// An installed IO proc. Backends never hand out 0.
using AudioDeviceIOProcID = std::uint64_t;

/// Called once per IO cycle on the queue given at creation, one call at a time, with
/// the cycle's input buffers. (Time stamps and the output list are not passed: this
/// system neither reads nor writes them.)
using AudioDeviceIOBlock = std::function<void(const AudioBufferListRef& inputData)>;

/// Called on the queue given at registration with the addresses that changed.
using AudioObjectPropertyListenerBlock =
    std::function<void(std::uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses)>;
/// Registration and removal name the listener by this handle.
using AudioObjectPropertyListener = std::shared_ptr<const AudioObjectPropertyListenerBlock>;

/// A process tap: one mix of the output of every process except the listed ones.
struct TapDescription {
  std::vector<AudioObjectID> excludedProcesses;
  bool isMono = true;         // one mono mix
  bool isExclusive = true;    // the list names processes to leave out
  std::string name;
  bool isPrivate = false;
  std::int32_t muteBehavior = 0;  // 0: the tapped processes stay audible
  std::string uuid;           // upper-case textual UUID naming the tap in a device's tap list
  /// Also leave out every process descending from an excluded one. Core Audio has no
  /// such setting and ignores it: there the core keeps the list current with
  /// `updateProcessTap`. A backend that sees a stream's process before it mixes the
  /// stream checks that process's ancestry then, so no sound of it gets through.
  bool excludeDescendants = false;
};

struct AggregateSubDevice {
  std::string uid;
};
struct AggregateSubTap {
  std::string uid;
  bool driftCompensation = false;
};

/// An aggregate device: every entry is always given.
struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  std::string mainSubDevice;
  bool isPrivate = false;
  bool isStacked = false;
  bool tapAutoStart = false;
  std::vector<AggregateSubDevice> subDevices;
  std::vector<AggregateSubTap> taps;
};

class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  /// Reads a property into `outData`, `ioDataSize` bytes at most; on return
  /// `ioDataSize` holds the bytes written. The qualifier narrows the question (a
  /// process identifier for 'id2p'). Any thread.
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier, std::uint32_t& ioDataSize,
                                   void* outData) = 0;

  /// Writes a property from `dataSize` bytes of `data`. Main queue.
  virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier, std::uint32_t dataSize,
                                   const void* data) = 0;

  /// The byte size of a property's current value. Any thread.
  virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifier,
                                       std::uint32_t& outDataSize) = 0;

  /// Reads a string property as UTF-8 text. The backend owns and releases whatever
  /// platform object carried the string, on success and on failure alike. Any thread.
  virtual OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::string& outText) = 0;

  /// Calls `listener` on `queue` whenever the property changes. Main queue.
  virtual OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       SerialQueue& queue, const AudioObjectPropertyListener& listener) = 0;

  /// Undoes `addPropertyListener` with the same arguments; afterwards the listener is
  /// not called again. Main queue.
  virtual OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          SerialQueue& queue, const AudioObjectPropertyListener& listener) = 0;

  /// Creates a process tap. Main queue.
  virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;
  /// Replaces the description of an existing tap in place (Core Audio's
  /// `kAudioTapPropertyDescription`) while it runs, without stopping it; the UUID must
  /// be the tap's own. Used to change the excluded processes. Main queue.
  virtual OSStatus updateProcessTap(AudioObjectID tapID, const TapDescription& description) = 0;

  /// Creates an aggregate device. Main queue.
  virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                         AudioObjectID& outDeviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

  /// Installs `block` as an IO proc of `device`, to be called on `queue`; leaves
  /// `outIOProcID` at 0 on failure. Main queue.
  virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outIOProcID, AudioObjectID device,
                                           SerialQueue& queue, AudioDeviceIOBlock block) = 0;
  /// Removes an IO proc; once it returns, no new call of its block begins. Main queue.
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

  /// Starts and stops the IO cycles of a device for one IO proc. Main queue.
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
};

}  // namespace vesk
