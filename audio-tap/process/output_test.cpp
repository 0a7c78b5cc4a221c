#include "audio-tap/process/output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

namespace vesk {
namespace {

std::string drain(int fd) {
  std::string data;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<std::size_t>(n));
  return data;
}

struct Pipes {
  Pipes() {
    EXPECT_EQ(::pipe(frames), 0);
    EXPECT_EQ(::pipe(events), 0);
  }
  int frames[2];
  int events[2];
};

TEST(OutputTest, FramePrefixIsLittleEndianPayloadLength) {
  EXPECT_EQ(encodeFrame(std::string(9600, 'x')).substr(0, 4), std::string("\x80\x25\x00\x00", 4));
  EXPECT_EQ(encodeFrame(std::string(9600, 'x')).size(), 9604u);
  EXPECT_EQ(encodeFrame("ab"), std::string("\x02\x00\x00\x00" "ab", 6));
  EXPECT_EQ(encodeFrame(std::string(0x010203, 'x')).substr(0, 4), std::string("\x03\x02\x01\x00", 4));
  const std::int16_t samples[] = {1, -1, 0x1234, -32768};
  EXPECT_EQ(encodeSamples(samples), std::string("\x01\x00\xFF\xFF\x34\x12\x00\x80", 8));
}

TEST(OutputTest, EventLinesAreCompactEscapedAndWhole) {
  Pipes p;
  {
    StreamChannels channels(p.frames[1], p.events[1]);
    channels.emit(Json{{"event", "permission"}, {"granted", true}});
    emitError(channels, "Unknown command: a\"b\\c\td\ne\x01");
    channels.emit(Json{{"event", "bad"}, {"text", "\xFF"}});  // not UTF-8: nothing at all
    channels.emit(Json{{"event", "ready"}, {"sampleRate", 24000}, {"deviceRate", 48000.0}, {"channels", 2}});
  }  // written by now
  ::close(p.events[1]);
  EXPECT_EQ(drain(p.events[0]),
            "{\"event\":\"permission\",\"granted\":true}\n"
            "{\"event\":\"error\",\"message\":\"Unknown command: a\\\"b\\\\c\\td\\ne\\u0001\"}\n"
            "{\"event\":\"ready\",\"sampleRate\":24000,\"deviceRate\":48000.0,\"channels\":2}\n");
  ::close(p.frames[1]);
  EXPECT_EQ(drain(p.frames[0]), "");  // events never reach standard output
  ::close(p.events[0]);
  ::close(p.frames[0]);
}

TEST(OutputTest, ConcurrentFramesStayWhole) {
  Pipes p;
  std::string received;
  std::thread reader([&] { received = drain(p.frames[0]); });
  {
    StreamChannels channels(p.frames[1], p.events[1]);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&channels, t] {
        const std::string payload(9600, static_cast<char>('a' + t));  // larger than PIPE_BUF
        for (int i = 0; i < 30; ++i) {
          channels.writeFrame(payload);
          channels.emit(Json{{"event", "debug"}, {"step", "x"}});
        }
      });
    }
    for (auto& w : writers) w.join();
  }  // written by now
  ::close(p.frames[1]);
  reader.join();
  ASSERT_EQ(received.size(), 120u * 9604u);
  for (std::size_t at = 0; at < received.size(); at += 9604) {
    ASSERT_EQ(received.substr(at, 4), std::string("\x80\x25\x00\x00", 4));
    const std::string payload = received.substr(at + 4, 9600);
    ASSERT_EQ(payload, std::string(9600, payload[0]));
  }
  ::close(p.frames[0]);
  ::close(p.events[1]);
  EXPECT_EQ(drain(p.events[0]).size(), 120u * std::string("{\"event\":\"debug\",\"step\":\"x\"}\n").size());
  ::close(p.events[0]);
}

// A host that stops reading: frames past the backlog are dropped whole, the rest
// arrive whole and in order once it reads again, and the loss is reported.
TEST(OutputTest, AStalledHostLosesWholeFramesAndIsToldHowManySamples) {
  Pipes p;
  constexpr int kFrames = 40;
  std::string received;
  {
    StreamChannels channels(p.frames[1], p.events[1], /*debug=*/true, /*frameBacklogSamples=*/5 * 4800);
    for (int i = 0; i < kFrames; ++i) {
      std::vector<std::int16_t> samples(4800, static_cast<std::int16_t>(i));
      channels.writeFrame(encodeSamples(samples));  // nothing reads yet, and this never waits
    }
    std::thread reader([&] { received = drain(p.frames[0]); });
    channels.drainWithin(60);
    ::close(p.frames[1]);
    reader.join();
  }
  ::close(p.events[1]);
  ASSERT_EQ(received.size() % 9604, 0u);
  std::vector<int> order;
  for (std::size_t at = 0; at < received.size(); at += 9604) {
    ASSERT_EQ(received.substr(at, 4), std::string("\x80\x25\x00\x00", 4));
    const std::string payload = received.substr(at + 4, 9600);
    for (std::size_t i = 2; i < payload.size(); i += 2) ASSERT_EQ(payload.substr(i, 2), payload.substr(0, 2));
    order.push_back(static_cast<unsigned char>(payload[0]));
  }
  // In order, the newest five among them, some dropped.
  ASSERT_GE(order.size(), 5u);
  ASSERT_LT(order.size(), static_cast<std::size_t>(kFrames));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(order.back(), kFrames - 1);
  std::size_t reported = 0;
  std::istringstream lines(drain(p.events[0]));
  for (std::string line; std::getline(lines, line);) {
    const auto event = Json::parse(line);
    EXPECT_EQ(event["step"], "framesDropped");
    reported += event["samples"].get<std::size_t>();
  }
  EXPECT_EQ(reported, (kFrames - order.size()) * 4800);
  ::close(p.frames[0]);
  ::close(p.events[0]);
}

}  // namespace
}  // namespace vesk
