// vesk-audio-tap: streams what the machine plays as 16-bit mono PCM frames on
// standard output and answers plain-word commands with JSON event lines on standard
// error. This file only wires the platform of this build to the process core.
#include <string>
#include <vector>

#include "audio-tap/process/audio_tap_process.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  auto platform = vesk::makePlatform();
  vesk::runAudioTapProcess(arguments, *platform);
}
