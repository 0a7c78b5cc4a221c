#include "audio-tap/pulse/object_model.h"

#include <gtest/gtest.h>

namespace vesk::pulse {
namespace {

// A desk with a sink, its monitor, a microphone and a handful of streams.
ServerSnapshot desk() {
  ServerSnapshot s;
  s.defaultSink = "speakers";
  s.defaultSource = "mic";
  s.sinks = {{0, "speakers", 48000, "speakers.monitor"}};
  s.sources = {{0, "speakers.monitor", true}, {1, "mic", false}};
  s.sinkInputs = {
      {10, 0, 100, "", "player", false, false},
      {11, 0, std::nullopt, "", "", false, false},  // a stream that names no process
  };
  s.sourceOutputs = {
      {20, 1, 200, "org.example.Meet", "meet", false, false},  // records the microphone
      {21, 1, 300, "", "arecord", true, false},                // corked
      {22, 1, 400, "", "pavucontrol", false, true},            // a level meter
      {23, 0, 500, "", "recorder", false, false},              // records the sink's monitor
      {24, 1, 600, "", "self", false, false},                  // the helper itself, in the tests below
  };
  return s;
}

TEST(ObjectModelTest, DefaultDevices) {
  ServerSnapshot s = desk();
  ASSERT_NE(defaultInputSource(s), nullptr);
  EXPECT_EQ(defaultInputSource(s)->name, "mic");
  EXPECT_EQ(defaultOutputSink(s)->rate, 48000u);
  s.defaultSource = "speakers.monitor";  // a monitor is no microphone
  EXPECT_EQ(defaultInputSource(s), nullptr);
  s.defaultSource = "gone";
  EXPECT_EQ(defaultInputSource(s), nullptr);
  s.defaultSink = "gone";  // a sink just unloaded: the first one stands in
  EXPECT_EQ(defaultOutputSink(s), &s.sinks.front());
  s.defaultSink = "";
  EXPECT_EQ(defaultOutputSink(s), nullptr);
}

TEST(ObjectModelTest, AReadListsItsDefaultsOnlyWhenBothAreListedOrUnnamed) {
  ServerSnapshot s = desk();
  EXPECT_TRUE(s.listsItsDefaults());
  s.defaultSink = "new";  // named before it is listed
  EXPECT_FALSE(s.listsItsDefaults());
  s.defaultSink = "";
  s.defaultSource = "gone";
  EXPECT_FALSE(s.listsItsDefaults());
  s.defaultSource = "";
  EXPECT_TRUE(s.listsItsDefaults());
}

// Timed reads trust a kept read only from PulseAudio itself: PipeWire's server calls
// itself PulseAudio too, and does not report every change.
TEST(ObjectModelTest, OnlyPulseAudioItselfIsTrustedToAnnounceEveryChange) {
  ServerSnapshot s = desk();
  for (const char* name : {"PulseAudio (on PipeWire 0.3.65)", "PulseAudio (on PipeWire 1.2.7)", ""}) {
    s.serverName = name;
    EXPECT_FALSE(s.announcesEveryChange()) << name;
  }
  s.serverName = "pulseaudio";
  EXPECT_TRUE(s.announcesEveryChange());
}

TEST(ObjectModelTest, AProcessPlaysWhileItHasAnUncorkedPlaybackStream) {
  ServerSnapshot s = desk();
  EXPECT_TRUE(isRunningOutput(s, 100));
  EXPECT_FALSE(isRunningOutput(s, 200));  // records only
  s.sinkInputs.front().corked = true;
  EXPECT_FALSE(isRunningOutput(s, 100));
}

TEST(ObjectModelTest, ProcessesAndTheirInput) {
  ServerSnapshot s = desk();
  EXPECT_EQ(processesWithStreams(s), (std::vector<std::int32_t>{100, 200, 300, 400, 500, 600}));
  struct Case {
    std::int32_t pid;
    bool running;
    std::optional<std::string> identifier;
  };
  for (const Case& c : std::vector<Case>{
           {100, false, "player"},
           {200, true, "org.example.Meet"},  // the application ID wins over the binary
           {300, false, "arecord"},          // corked
           {400, false, "pavucontrol"},      // level meter
           {500, false, "recorder"},         // monitor source
           {700, false, std::nullopt},       // no streams at all
       }) {
    EXPECT_EQ(isRunningInput(s, c.pid), c.running) << c.pid;
    EXPECT_EQ(applicationIdentifier(s, c.pid), c.identifier) << c.pid;
  }
}

TEST(ObjectModelTest, DeviceRunningSomewhere) {
  ServerSnapshot s = desk();
  const Source& mic = s.sources[1];
  EXPECT_TRUE(isSourceRunningSomewhere(s, mic, 600));
  s.sourceOutputs.erase(s.sourceOutputs.begin());  // the meeting app stops recording
  EXPECT_FALSE(isSourceRunningSomewhere(s, mic, 600));  // what remains is corked, a meter, or ours
  EXPECT_TRUE(isSinkRunningSomewhere(s, s.sinks[0]));
  for (auto& input : s.sinkInputs) input.corked = true;
  EXPECT_FALSE(isSinkRunningSomewhere(s, s.sinks[0]));
}

TEST(ObjectModelTest, ObjectIDsAreStableAndTyped) {
  ObjectIDs ids;
  AudioObjectID mic = ids.source("mic");
  AudioObjectID speakers = ids.sink("speakers");
  EXPECT_NE(mic, speakers);
  EXPECT_EQ(ids.source("mic"), mic);
  EXPECT_NE(ids.sink("mic"), mic);  // a sink and a source may share a name
  EXPECT_EQ(ids.kindOf(mic), ObjectKind::source);
  EXPECT_EQ(ids.kindOf(speakers), ObjectKind::sink);
  EXPECT_EQ(ids.deviceName(speakers), "speakers");
  EXPECT_EQ(ids.kindOf(kAudioObjectSystemObject), ObjectKind::system);
  EXPECT_EQ(ids.kindOf(kAudioObjectUnknown), ObjectKind::none);
  EXPECT_EQ(ids.kindOf(0x1234), ObjectKind::none);

  AudioObjectID tap = ids.newTap();
  AudioObjectID aggregate = ids.newAggregate();
  EXPECT_EQ(ids.kindOf(tap), ObjectKind::tap);
  EXPECT_EQ(ids.kindOf(aggregate), ObjectKind::aggregate);
  EXPECT_NE(ids.newTap(), tap);

  AudioObjectID process = ObjectIDs::processObject(4242);
  EXPECT_EQ(ids.kindOf(process), ObjectKind::process);
  EXPECT_EQ(ObjectIDs::pidOf(process), 4242);
  EXPECT_EQ(ObjectIDs::processObject(0), kAudioObjectUnknown);
  EXPECT_EQ(ObjectIDs::processObject(-5), kAudioObjectUnknown);
  EXPECT_FALSE(ObjectIDs::pidOf(mic));
}

TEST(ObjectModelTest, TapFormatIsFloatMono) {
  AudioStreamBasicDescription f = tapFormat(44100);
  EXPECT_EQ(f.mSampleRate, 44100.0);
  EXPECT_EQ(f.mChannelsPerFrame, 1u);
  EXPECT_EQ(f.mBytesPerFrame, 4u);
  EXPECT_TRUE(f.mFormatFlags & kAudioFormatFlagIsFloat);
  EXPECT_FALSE(f.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
}

}  // namespace
}  // namespace vesk::pulse
