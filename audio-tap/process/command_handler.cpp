// Command dispatch and the reader loop.
#include "audio-tap/process/command_handler.h"

#include "audio-tap/process/command_text.h"
#include "common/fd_io.h"

namespace vesk {

CommandHandler::CommandHandler(SystemAudioTap& tap, InputActivityWatcher& watcher, OutputChannels& output,
                               std::function<void()> endProcess)
    : tap_(tap), watcher_(watcher), output_(output), endProcess_(std::move(endProcess)) {}

void CommandHandler::handle(const std::string& command) {
  if (command == "start") {
    if (auto error = tap_.start()) emitError(output_, error->description);
  } else if (command == "stop") {
    tap_.stop();
  } else if (command == "checkPermission") {
    Json event;
    event["event"] = "permission";
    event["granted"] = tap_.checkPermission();
    output_.emit(event);
  } else if (command == "watchInput") {
    watcher_.start();
  } else if (command == "unwatchInput") {
    watcher_.stop();
  } else if (command == "quit") {
    shutdown();
  } else if (!command.empty()) {
    emitError(output_, "Unknown command: " + command);
  }
}

void CommandHandler::shutdown() {
  watcher_.stop();
  tap_.stop();
  endProcess_();
}

void readCommands(int fd, SerialQueue& mainQueue, CommandHandler& handler) {
  LineReader reader(fd);
  while (auto line = reader.next()) {
    const std::string command = commandText(*line);
    mainQueue.sync([&handler, &command] { handler.handle(command); });
  }
  mainQueue.sync([&handler] { handler.shutdown(); });
}

}  // namespace vesk
