// Keyboard through the XDG desktop portal's GlobalShortcuts interface (sd-bus), for
// Wayland sessions, where no client may watch or grab keys.
//
// The desktop owns the key: the binding becomes one shortcut in a portal session, and
// the portal reports Activated on press (again on every autorepeat) and Deactivated on
// release. These reach the monitor as key-down and key-up of the bound key with the
// bound modifiers, so the hold rules stay the monitor's. There is no key state to
// poll: a hold ends on Deactivated, or by a release delivered here when the session is
// lost (the portal closes it, leaves the bus, or the bus goes away).
//
// Threads: all D-Bus work and every call into the monitor run on this keyboard's own
// thread (its event thread), a poll loop over the bus and a wake-up eventfd. Other
// threads post work to it; permission questions wait for its answer with a deadline.
// The main thread's run() only parks.
#include "input-monitor/portal/portal_keyboard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "input-monitor/portal/portal_connection.h"
#include "input-monitor/portal/shortcut.h"

namespace vesk::portal {
namespace {

// Longer than a session's creation and binding may take together on a loaded machine.
constexpr auto kAnswerDeadline = std::chrono::seconds(45);
constexpr auto kIdleWait = std::chrono::milliseconds(60'000);
// The probe sessions that answer "can a session be made" while no binding needs one.
// Each has a token of its own: the desktop may still be closing the last one when the
// next question comes, and a session under a token still in use is refused.
constexpr const char* kProbeToken = "vesk_probe_";

// The monitor keeps no watchdog for a keyboard without key state.
class InertTimer final : public RepeatingTimer {
 public:
  void invalidate() override {}
};

EventFlags flagsFor(ModifierMask modifiers) {
  EventFlags flags = 0;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (modifiers & modifierBit(i)) flags |= MOD_MASKS[i].mask;
  }
  return flags;
}

class PortalKeyboard final : public Keyboard, private PortalConnection::Listener {
 public:
  PortalKeyboard() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { loop(); });
  }

  ~PortalKeyboard() override {
    post([this] { stopping_ = true; });
    thread_.join();
    ::close(wakeFd_);
  }

  bool isTrusted(bool) override { return askSessionPossible(); }

  bool createTap(KeyEventHandler& handler) override {
    post([this, &handler] { handler_ = &handler; });
    return askSessionPossible();
  }

  void reenableTap() override {}
  EventFlags returnFlagsState() override { return 0; }
  bool returnKeyState(std::uint16_t) override { return false; }
  bool hasKeyState() const override { return false; }
  // Secure event input is a macOS state; a portal session has none.
  bool returnSecureInputEnabled() override { return false; }

  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double, std::function<void()>) override {
    return std::make_unique<InertTimer>();
  }

  void swallowPlanChanged(const SwallowPlan& plan) override {
    post([this, shortcut = shortcutFor(plan)] {
      if (wanted_ == shortcut) return;
      wanted_ = shortcut;
      attemptFailed_ = false;
      advance();
    });
  }

  void run() override {
    // Everything happens on the portal thread; the process ends when input does.
    std::mutex parked;
    std::condition_variable never;
    std::unique_lock<std::mutex> hold(parked);
    for (;;) never.wait(hold);
  }

 private:
  enum class Stage { creating, binding, open, closing };
  struct Session {
    PortalShortcut shortcut;
    Stage stage = Stage::creating;
    std::string path;   // known once created
    bool held = false;  // Activated seen and not yet Deactivated
  };

  // --- Any thread ---

  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> hold(tasksLock_);
      tasks_.push_back(std::move(task));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
  }

  bool askSessionPossible() {
    auto answer = std::make_shared<std::promise<bool>>();
    auto future = answer->get_future();
    post([this, answer] { whenSessionKnown([answer](bool ok) { answer->set_value(ok); }); });
    // A portal that never answers must not stall the command reader for ever.
    return future.wait_for(kAnswerDeadline) == std::future_status::ready && future.get();
  }

  // --- The portal thread ---

  void loop() {
    while (!stopping_) {
      runTasks();
      if (stopping_) break;
      if (connection_) {
        PortalConnection* waited = connection_.get();
        bool alive = waited->wait(wakeFd_, kIdleWait);
        bool current = waited == connection_.get();
        retired_.clear();
        if (!alive && current) connectionLost();
      }
      if (!connection_) waitForWake();
    }
  }

  void runTasks() {
    std::uint64_t count = 0;
    [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> hold(tasksLock_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }

  void waitForWake() {
    pollfd fd{wakeFd_, POLLIN, 0};
    ::poll(&fd, 1, -1);
  }

  // Answers `done` once it is known whether a session can be made now.
  void whenSessionKnown(std::function<void(bool)> done) {
    if (session_ && session_->stage == Stage::open) return done(true);
    waiters_.push_back(std::move(done));
    // A question is a reason to try again after a failure.
    attemptFailed_ = false;
    advance();
  }

  void answerWaiters(bool ok) {
    for (auto& waiter : std::exchange(waiters_, {})) waiter(ok);
  }

  // Moves the session one step towards the wanted shortcut. Called after every change.
  void advance() {
    if (!session_) {
      if (wanted_ && !attemptFailed_) return createSession(*wanted_);
      if (!wanted_ && !waiters_.empty() && !probing_) probe();
      return;
    }
    if (session_->stage != Stage::open) return;  // its outcome calls advance() again
    if (wanted_ != session_->shortcut) return closeSession();
    answerWaiters(true);
  }

  bool connect() {
    if (!connection_) connection_ = PortalConnection::open(*this);
    return connection_ != nullptr;
  }

  // Only between sessions: a probe still waiting is answered by the next session's
  // outcome. Often called from inside the connection's own dispatch, so it is ended
  // only once that has returned.
  void dropConnection() {
    if (connection_) retired_.push_back(std::move(connection_));
    usedTokens_.clear();
    probing_ = false;
  }

  void createSession(const PortalShortcut& shortcut) {
    session_ = Session{shortcut, Stage::creating, {}, false};
    // A binding's token is the desktop's name for it and stays the same, but the desktop
    // may still be closing the last session made under it, and refuses a second one at
    // the same path. A new connection gives the new session a path of its own.
    auto token = sessionTokenFor(shortcut);
    if (usedTokens_.count(token)) dropConnection();
    if (!connect()) return sessionFailed();
    usedTokens_.insert(token);
    connection_->createSession(token, shortcut, [this](std::optional<std::string> path) {
      if (!session_ || session_->stage != Stage::creating) return;
      if (!path) return sessionFailed();
      session_->path = *path;
      session_->stage = Stage::binding;
      connection_->bindShortcuts(*path, session_->shortcut, [this](bool ok) { bound(ok); });
    });
  }

  void bound(bool ok) {
    if (!session_ || session_->stage != Stage::binding) return;
    if (!ok) {
      // Leave nothing half made behind: the session holds a key at the desktop.
      connection_->closeSession(session_->path, [](bool) {});
      return sessionFailed();
    }
    session_->stage = Stage::open;
    answerWaiters(true);
    advance();
  }

  void sessionFailed() {
    releaseHeldKey();
    // Only a failure of what is still wanted waits for a reason to try again.
    attemptFailed_ = session_ && wanted_ == session_->shortcut;
    session_.reset();
    answerWaiters(false);
    advance();
  }

  void closeSession() {
    releaseHeldKey();
    session_->stage = Stage::closing;
    connection_->closeSession(session_->path, [this](bool) {
      // Closed or not, the session is gone for us; the next one may reuse its token.
      if (session_ && session_->stage == Stage::closing) session_.reset();
      advance();
    });
  }

  void probe() {
    if (!connect()) return answerWaiters(false);
    probing_ = true;
    auto token = kProbeToken + std::to_string(++probeCount_);
    connection_->createSession(token, std::nullopt, [this](std::optional<std::string> path) {
      probing_ = false;
      if (path && connection_) connection_->closeSession(*path, [](bool) {});
      answerWaiters(path.has_value());
      advance();
    });
  }

  void releaseHeldKey() {
    if (!session_ || !session_->held) return;
    session_->held = false;
    deliver(kKeyUp);
  }

  void deliver(std::uint32_t type) {
    if (!handler_ || !session_) return;
    handler_->handle(type, KeyEvent{session_->shortcut.mainKey, flagsFor(session_->shortcut.modifiers)});
  }

  bool isCurrent(const std::string& sessionPath) const {
    return session_ && !session_->path.empty() && session_->path == sessionPath &&
           (session_->stage == Stage::binding || session_->stage == Stage::open);
  }

  // --- Listener: inside connection_->wait() ---

  void shortcutChanged(const std::string& sessionPath, bool pressed) override {
    if (!isCurrent(sessionPath)) return;
    if (pressed) {
      // Every autorepeat is another Activated; the monitor lets only the first begin a hold.
      session_->held = true;
      deliver(kKeyDown);
    } else if (session_->held) {
      releaseHeldKey();
    }
  }

  void sessionClosed(const std::string& sessionPath) override {
    if (isCurrent(sessionPath)) sessionFailed();
  }

  void portalPresence(bool present) override {
    if (present) {
      // A portal back on the bus: try again for the binding in force.
      attemptFailed_ = false;
      advance();
    } else if (session_) {
      sessionFailed();
    }
  }

  void connectionLost() {
    // Requests have failed already; drop what is left and reconnect on the next need.
    dropConnection();
    if (session_) sessionFailed();
    answerWaiters(false);
  }

  std::unique_ptr<PortalConnection> connection_;
  std::vector<std::unique_ptr<PortalConnection>> retired_;  // dropped, ended after dispatch
  int wakeFd_;
  std::thread thread_;

  std::mutex tasksLock_;
  std::deque<std::function<void()>> tasks_;  // guarded by tasksLock_

  // The portal thread's own.
  bool stopping_ = false;
  KeyEventHandler* handler_ = nullptr;
  std::optional<PortalShortcut> wanted_;
  std::optional<Session> session_;
  bool attemptFailed_ = false;  // the session for wanted_ failed; wait for a reason to retry
  bool probing_ = false;
  std::uint64_t probeCount_ = 0;
  std::set<std::string> usedTokens_;  // binding session tokens used on connection_
  std::vector<std::function<void(bool)>> waiters_;
};

// Answers nothing until the keyboard exists: the connection is set up before its thread.
class NullListener final : public PortalConnection::Listener {
  void shortcutChanged(const std::string&, bool) override {}
  void sessionClosed(const std::string&) override {}
  void portalPresence(bool) override {}
};

}  // namespace

std::unique_ptr<Keyboard> makePortalKeyboard() {
  NullListener probeListener;
  auto probeConnection = PortalConnection::open(probeListener);
  if (!probeConnection || !probeConnection->offersShortcuts()) return nullptr;
  // The keyboard makes its own connection on its thread, the one thread that uses it.
  return std::make_unique<PortalKeyboard>();
}

}  // namespace vesk::portal
