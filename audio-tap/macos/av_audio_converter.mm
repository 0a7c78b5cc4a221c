// The converter seam over AVFAudio: AVAudioFormat for the formats, AVAudioConverter
// for the conversion, AVAudioPCMBuffer for its buffers. Formats and converters are
// made on the main queue; conversions run on the conversion queue, one at a time.
//
// The core's PCM buffers and AVAudioPCMBuffers have the same buffer-list layout;
// audio is copied into a platform buffer before conversion and out of one after.
#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>

#include <cstring>

#include "audio-tap/macos/av_audio_converter.h"
#include "audio-tap/macos/buffer_copy.h"

namespace vesk {
namespace {

static_assert(sizeof(vesk::AudioStreamBasicDescription) == sizeof(::AudioStreamBasicDescription));
static_assert(static_cast<int>(AVAudioConverterOutputStatus_HaveData) ==
              static_cast<int>(AudioConverterOutputStatus::haveData));
static_assert(static_cast<int>(AVAudioConverterOutputStatus_InputRanDry) ==
              static_cast<int>(AudioConverterOutputStatus::inputRanDry));
static_assert(static_cast<int>(AVAudioConverterOutputStatus_EndOfStream) ==
              static_cast<int>(AudioConverterOutputStatus::endOfStream));
static_assert(static_cast<int>(AVAudioConverterOutputStatus_Error) ==
              static_cast<int>(AudioConverterOutputStatus::error));

AVAudioFormat* makePlatformFormat(const vesk::AudioStreamBasicDescription& description) {
  ::AudioStreamBasicDescription platform;
  std::memcpy(&platform, &description, sizeof platform);
  return [[AVAudioFormat alloc] initWithStreamDescription:&platform];
}

// The core's view of a platform format; none when the core's buffers cannot hold it.
std::shared_ptr<const AudioFormat> coreFormat(AVAudioFormat* format) {
  if (!format) return nullptr;
  AudioFormat result;
  std::memcpy(&result.streamDescription, format.streamDescription, sizeof result.streamDescription);
  if (!isUsablePcm(result.streamDescription)) return nullptr;
  return std::make_shared<const AudioFormat>(result);
}

AVAudioConverterInputStatus platformInputStatus(AudioConverterInputStatus status) {
  switch (status) {
    case AudioConverterInputStatus::haveData:
      return AVAudioConverterInputStatus_HaveData;
    case AudioConverterInputStatus::noDataNow:
      return AVAudioConverterInputStatus_NoDataNow;
    case AudioConverterInputStatus::endOfStream:
      return AVAudioConverterInputStatus_EndOfStream;
  }
  return AVAudioConverterInputStatus_NoDataNow;
}

AudioConverterOutputStatus coreOutputStatus(AVAudioConverterOutputStatus status) {
  switch (status) {
    case AVAudioConverterOutputStatus_HaveData:
      return AudioConverterOutputStatus::haveData;
    case AVAudioConverterOutputStatus_InputRanDry:
      return AudioConverterOutputStatus::inputRanDry;
    case AVAudioConverterOutputStatus_EndOfStream:
      return AudioConverterOutputStatus::endOfStream;
    case AVAudioConverterOutputStatus_Error:
      return AudioConverterOutputStatus::error;
  }
  return AudioConverterOutputStatus::error;
}

// A platform buffer in `format` holding a copy of `buffer`'s frames; nil when none
// can be made.
AVAudioPCMBuffer* copyIntoPlatformBuffer(PcmBuffer& buffer, AVAudioFormat* format) {
  AVAudioPCMBuffer* platform = [[AVAudioPCMBuffer alloc] initWithPCMFormat:format
                                                             frameCapacity:buffer.frameCapacity()];
  if (!platform) return nil;
  platform.frameLength = buffer.frameLength();
  AudioBufferList* list = platform.mutableAudioBufferList;
  const AudioBufferListRef from = buffer.audioBufferList();
  copyBufferData(from.mBuffers, from.mNumberBuffers, list->mBuffers, list->mNumberBuffers);
  return platform;
}

// Gives `buffer` the frames of `platform`, as many as it can hold.
void copyOutOfPlatformBuffer(AVAudioPCMBuffer* platform, PcmBuffer& buffer) {
  buffer.setFrameLength(platform.frameLength);
  const AudioBufferList* list = platform.audioBufferList;
  auto entries = buffer.mutableAudioBufferList();
  copyBufferData(list->mBuffers, list->mNumberBuffers, entries.data(), static_cast<std::uint32_t>(entries.size()));
}

class AVAudioConverterAdapter final : public AudioConverter {
 public:
  AVAudioConverterAdapter(AVAudioConverter* converter, AVAudioFormat* input, AVAudioFormat* output)
      : converter_(converter), inputFormat_(input), outputFormat_(output) {}

  AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                     const AudioConverterInputBlock& input) override {
    // This runs on a dispatch queue whose threads drain no pool of their own.
    @autoreleasepool {
      AVAudioPCMBuffer* platformOutput = [[AVAudioPCMBuffer alloc] initWithPCMFormat:outputFormat_
                                                                       frameCapacity:output.frameCapacity()];
      if (!platformOutput) {
        error = "No output buffer for the converter.";
        return AudioConverterOutputStatus::error;
      }
      // The converter calls the block only while convertToBuffer runs.
      const AudioConverterInputBlock* supply = &input;
      AVAudioFormat* inputFormat = inputFormat_;
      NSError* platformError = nil;
      const AVAudioConverterOutputStatus status = [converter_
          convertToBuffer:platformOutput
                    error:&platformError
       withInputFromBlock:^AVAudioBuffer*(AVAudioPacketCount packets, AVAudioConverterInputStatus* outStatus) {
         AudioConverterInputStatus supplied = AudioConverterInputStatus::noDataNow;
         std::shared_ptr<PcmBuffer> buffer = (*supply)(packets, supplied);
         AVAudioPCMBuffer* platformInput = buffer ? copyIntoPlatformBuffer(*buffer, inputFormat) : nil;
         if (supplied == AudioConverterInputStatus::haveData && !platformInput) {
           supplied = AudioConverterInputStatus::noDataNow;  // nothing to hand over after all
         }
         *outStatus = platformInputStatus(supplied);
         return supplied == AudioConverterInputStatus::haveData ? platformInput : nil;
       }];
      copyOutOfPlatformBuffer(platformOutput, output);
      if (platformError) {
        const char* description = platformError.localizedDescription.UTF8String;
        error = std::string(description ? description : "");
      }
      return coreOutputStatus(status);
    }
  }

 private:
  AVAudioConverter* converter_;
  AVAudioFormat* inputFormat_;
  AVAudioFormat* outputFormat_;
};

class AVAudioConverterFactory final : public AudioConverterFactory {
 public:
  std::shared_ptr<const AudioFormat> makeFormat(const vesk::AudioStreamBasicDescription& description) override {
    return coreFormat(makePlatformFormat(description));
  }

  std::shared_ptr<const AudioFormat> makeInt16Format(double sampleRate, std::uint32_t channels,
                                                      bool interleaved) override {
    return coreFormat([[AVAudioFormat alloc] initWithCommonFormat:AVAudioPCMFormatInt16
                                                       sampleRate:sampleRate
                                                         channels:channels
                                                      interleaved:interleaved]);
  }

  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
    // The core's formats came from platform formats; these are made again from the
    // very same stream descriptions.
    AVAudioFormat* input = makePlatformFormat(from.streamDescription);
    AVAudioFormat* output = makePlatformFormat(to.streamDescription);
    if (!input || !output) return nullptr;
    AVAudioConverter* converter = [[AVAudioConverter alloc] initFromFormat:input toFormat:output];
    if (!converter) return nullptr;
    // No dither when rounding to 16 bits: digital silence (a muted tap, a missing
    // permission) must come out as exact zeros, as on Linux. It is the default; set
    // here so that it stays so.
    converter.dither = NO;
    return std::make_shared<AVAudioConverterAdapter>(converter, input, output);
  }
};

}  // namespace

std::unique_ptr<AudioConverterFactory> makeAVAudioConverterFactory() {
  return std::make_unique<AVAudioConverterFactory>();
}

}  // namespace vesk
