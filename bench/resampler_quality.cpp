// Quality of the Linux converter from 48 kHz float mono to 24000 Hz 16-bit (its
// half-band path): THD+N of a 1 kHz tone, and how far tones between 13 and 20 kHz,
// above the output's 12 kHz limit, are kept from folding back into the band. Prints
// figures in dB; a rejection above 200 dB means every output sample rounded to 0.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <utility>
#include <vector>

#include "audio-tap/capture/audio_format.h"
#include "audio-tap/pulse/soxr_converter.h"

namespace {

using vesk::AudioFormat;
using vesk::PcmBuffer;

constexpr double kInRate = 48000, kOutRate = 24000;

std::shared_ptr<const AudioFormat> floatMono() {
  vesk::AudioStreamBasicDescription d;
  d.mSampleRate = kInRate;
  d.mFormatID = vesk::kAudioFormatLinearPCM;
  d.mFormatFlags = vesk::kAudioFormatFlagIsFloat | vesk::kAudioFormatFlagIsPacked;
  d.mBytesPerPacket = d.mBytesPerFrame = 4;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = 1;
  d.mBitsPerChannel = 32;
  return std::make_shared<const AudioFormat>(AudioFormat{d});
}

// Two seconds of a tone through the converter in 10 ms buffers; the output after the
// first 200 ms (past the converter's delay).
std::vector<double> convertTone(double hz, double amplitude) {
  auto in = floatMono();
  auto out = std::make_shared<const AudioFormat>(AudioFormat{vesk::int16StreamDescription(kOutRate, 1, true)});
  auto converter = vesk::pulse::makeSoxrConverter(*in, *out);
  std::vector<double> result;
  const std::uint32_t block = 480;
  for (std::uint32_t start = 0; start < 2 * kInRate; start += block) {
    auto input = PcmBuffer::make(in, block);
    input->setFrameLength(block);
    auto* samples = static_cast<float*>(input->mutableAudioBufferList()[0].mData);
    for (std::uint32_t i = 0; i < block; ++i) {
      samples[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * (start + i) / kInRate));
    }
    auto output = PcmBuffer::make(out, block / 2 + 64);
    bool offered = false;
    std::optional<std::string> error;
    converter->convert(*output, error, [&](std::uint32_t, vesk::AudioConverterInputStatus& status) {
      status = offered ? vesk::AudioConverterInputStatus::noDataNow : vesk::AudioConverterInputStatus::haveData;
      return std::exchange(offered, true) ? nullptr : input;
    });
    for (std::uint32_t i = 0; i < output->frameLength(); ++i) result.push_back(output->int16ChannelData()[i] / 32768.0);
  }
  result.erase(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(kOutRate / 5));
  return result;
}

double rms(const std::vector<double>& x) {
  double sum = 0;
  for (double v : x) sum += v * v;
  return std::sqrt(sum / static_cast<double>(x.size()));
}

// Noise and distortion left after removing the best-fitting tone (and any offset),
// relative to that tone.
double thdPlusNoiseDb(const std::vector<double>& y, double hz) {
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0, mean = 0;
  for (double v : y) mean += v;
  mean /= static_cast<double>(y.size());
  for (std::size_t n = 0; n < y.size(); ++n) {
    double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / kOutRate;
    double s = std::sin(w), c = std::cos(w), v = y[n] - mean;
    ss += s * s, sc += s * c, cc += c * c, ys += v * s, yc += v * c;
  }
  double det = ss * cc - sc * sc;
  double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  std::vector<double> fit(y.size()), residual(y.size());
  for (std::size_t n = 0; n < y.size(); ++n) {
    double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / kOutRate;
    fit[n] = a * std::sin(w) + b * std::cos(w);
    residual[n] = y[n] - mean - fit[n];
  }
  return 20 * std::log10(rms(residual) / rms(fit));
}

}  // namespace

int main() {
  const double amplitude = 0.5;
  std::printf("resampling THD+N, 1 kHz at -6 dBFS: %.1f dB\n", thdPlusNoiseDb(convertTone(1000, amplitude), 1000));
  double worst = -1000, worstHz = 0;
  for (double hz = 13000; hz <= 20000; hz += 500) {
    auto y = convertTone(hz, amplitude);
    double db = 20 * std::log10(std::max(rms(y), 1e-12) / (amplitude / std::sqrt(2)));
    if (db > worst) worst = db, worstHz = hz;
  }
  std::printf("alias rejection, 13-20 kHz in: %.1f dB (worst at %.0f Hz)\n", -worst, worstHz);
}
