// Background tasks on a plain detached thread, for platforms without work queues.
#include <thread>

#include "input-monitor/keyboard.h"

namespace vesk {

void startBackgroundTask(std::function<void()> body) { std::thread(std::move(body)).detach(); }

}  // namespace vesk
