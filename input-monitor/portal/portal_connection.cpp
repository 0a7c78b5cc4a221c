// GlobalShortcuts portal calls over sd-bus (libsystemd), on the portal keyboard's thread.
//
// Every portal call answers at once with a request object and later with a Response
// signal on it. The signal is subscribed to before any call, and its path is known in
// advance from our unique name and the call's handle token, so no answer is missed.
// Nothing here blocks but `offersShortcuts` and the connection set-up: calls are sent
// asynchronously and end by reply, Response, a deadline, or the connection's loss.
#include "input-monitor/portal/portal_connection.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::portal {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
constexpr const char* kShortcutId = "ptt";
constexpr const char* kDescription = "Push to talk";

// Generous: the first call starts the portal and its desktop backend, which takes
// seconds on a loaded machine. A portal that takes longer counts as absent.
constexpr std::uint64_t kCallTimeoutUsec = 20'000'000;
constexpr auto kResponseTimeout = std::chrono::seconds(20);

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

Message newPortalCall(sd_bus* bus, const char* path, const char* interface, const char* member) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, kPortalName, path, interface, member) < 0) return nullptr;
  return Message(m);
}

// The shortcut list, a(sa{sv}): the one shortcut with its description and trigger.
int appendShortcuts(sd_bus_message* m, const PortalShortcut& shortcut) {
  return sd_bus_message_append(m, "a(sa{sv})", 1, kShortcutId, 2, "description", "s", kDescription,
                               "preferred_trigger", "s", shortcut.trigger.c_str());
}

// The value of "session_handle" in a Response's results, an object path or a string
// depending on the portal's version.
std::optional<std::string> readSessionHandle(sd_bus_message* results) {
  std::optional<std::string> handle;
  if (sd_bus_message_enter_container(results, 'a', "{sv}") <= 0) return handle;
  while (sd_bus_message_enter_container(results, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    char type = 0;
    if (sd_bus_message_read(results, "s", &key) < 0) return handle;
    bool wanted = std::string_view(key) == "session_handle" &&
                  sd_bus_message_peek_type(results, &type, &contents) > 0 && contents &&
                  (std::string_view(contents) == "s" || std::string_view(contents) == "o");
    const char* value = nullptr;
    if (wanted && sd_bus_message_read(results, "v", contents, &value) >= 0) {
      handle = value;
    } else if (sd_bus_message_skip(results, "v") < 0) {
      return handle;
    }
    if (sd_bus_message_exit_container(results) < 0) return handle;
  }
  return handle;
}

}  // namespace

std::unique_ptr<PortalConnection> PortalConnection::open(Listener& listener) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  std::unique_ptr<PortalConnection> connection(new PortalConnection(bus, listener));
  if (!connection->subscribe()) return nullptr;
  return connection;
}

PortalConnection::PortalConnection(sd_bus* bus, Listener& listener) : bus_(bus), listener_(listener) {}

PortalConnection::~PortalConnection() { sd_bus_flush_close_unref(bus_); }

bool PortalConnection::subscribe() {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus_, &unique) < 0) return false;
  // ":1.42" names its requests ".../request/1_42/TOKEN".
  senderPart_ = unique + 1;
  std::replace(senderPart_.begin(), senderPart_.end(), '.', '_');
  // Floating matches: they live as long as the connection. Queued ahead of every call,
  // so the bus applies them before any answer is routed.
  return sd_bus_match_signal_async(bus_, nullptr, nullptr, nullptr, "org.freedesktop.portal.Request", "Response",
                                   onResponse, nullptr, this) >= 0 &&
         sd_bus_match_signal_async(bus_, nullptr, nullptr, kPortalPath, kShortcutsInterface, nullptr, onShortcut,
                                   nullptr, this) >= 0 &&
         sd_bus_match_signal_async(bus_, nullptr, nullptr, nullptr, kSessionInterface, "Closed", onSessionClosed,
                                   nullptr, this) >= 0 &&
         sd_bus_add_match_async(bus_, nullptr,
                                "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                                "member='NameOwnerChanged',arg0='org.freedesktop.portal.Desktop'",
                                onOwnerChanged, nullptr, this) >= 0;
}

bool PortalConnection::offersShortcuts() {
  std::uint32_t version = 0;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  int r = sd_bus_get_property_trivial(bus_, kPortalName, kPortalPath, kShortcutsInterface, "version", &error, 'u',
                                      &version);
  sd_bus_error_free(&error);
  return r >= 0 && version >= 1;
}

std::string PortalConnection::nextToken() { return "vesk" + std::to_string(++tokenCounter_); }

std::string PortalConnection::requestPath(const std::string& token) const {
  return std::string(kPortalPath) + "/request/" + senderPart_ + "/" + token;
}

std::string PortalConnection::sessionPath(const std::string& token) const {
  return std::string(kPortalPath) + "/session/" + senderPart_ + "/" + token;
}

void PortalConnection::createSession(const std::string& token, const std::optional<PortalShortcut>& shortcut,
                                     SessionDone done) {
  std::string handleToken = nextToken();
  Message m = newPortalCall(bus_, kPortalPath, kShortcutsInterface, "CreateSession");
  // The shortcut goes into the options too: some desktops register only what they find
  // there, and ignore a later BindShortcuts.
  bool built = m && sd_bus_message_open_container(m.get(), 'a', "{sv}") >= 0 &&
               sd_bus_message_append(m.get(), "{sv}", "handle_token", "s", handleToken.c_str()) >= 0 &&
               sd_bus_message_append(m.get(), "{sv}", "session_handle_token", "s", token.c_str()) >= 0 &&
               (!shortcut || (sd_bus_message_open_container(m.get(), 'e', "sv") >= 0 &&
                              sd_bus_message_append(m.get(), "s", "shortcuts") >= 0 &&
                              sd_bus_message_open_container(m.get(), 'v', "a(sa{sv})") >= 0 &&
                              appendShortcuts(m.get(), *shortcut) >= 0 &&
                              sd_bus_message_close_container(m.get()) >= 0 &&
                              sd_bus_message_close_container(m.get()) >= 0)) &&
               sd_bus_message_close_container(m.get()) >= 0;
  auto finish = [this, path = sessionPath(token), done = std::move(done)](Outcome outcome, sd_bus_message* results) {
    auto handle = outcome == Outcome::granted ? readSessionHandle(results) : std::nullopt;
    if (handle || outcome == Outcome::refused) return done(handle);
    // Under load the portal (1.16) has sent a Response it could not build, with no
    // results, for a session it made and kept. Left alone, that session would refuse
    // every later one under its token; whether it exists is the answer.
    confirmSession(path, done);
  };
  if (!built) return finish(Outcome::refused, nullptr);
  startRequest(m.get(), handleToken, std::move(finish));
}

void PortalConnection::confirmSession(const std::string& path, SessionDone done) {
  Message call = newPortalCall(bus_, path.c_str(), "org.freedesktop.DBus.Properties", "Get");
  if (!call || sd_bus_message_append(call.get(), "ss", kSessionInterface, "version") < 0) return done(std::nullopt);
  startCall(call.get(), Call{{}, [path, done = std::move(done)](bool exists) {
                               done(exists ? std::optional<std::string>(path) : std::nullopt);
                             }});
}

void PortalConnection::bindShortcuts(const std::string& sessionPath, const PortalShortcut& shortcut, Done done) {
  std::string handleToken = nextToken();
  Message m = newPortalCall(bus_, kPortalPath, kShortcutsInterface, "BindShortcuts");
  bool built = m && sd_bus_message_append(m.get(), "o", sessionPath.c_str()) >= 0 &&
               appendShortcuts(m.get(), shortcut) >= 0 &&
               sd_bus_message_append(m.get(), "sa{sv}", "", 1, "handle_token", "s", handleToken.c_str()) >= 0;
  auto finish = [done = std::move(done)](Outcome outcome, sd_bus_message*) { done(outcome == Outcome::granted); };
  if (!built) return finish(Outcome::refused, nullptr);
  startRequest(m.get(), handleToken, std::move(finish));
}

void PortalConnection::closeSession(const std::string& sessionPath, Done done) {
  Message m = newPortalCall(bus_, sessionPath.c_str(), kSessionInterface, "Close");
  if (!m) return done(false);
  startCall(m.get(), Call{{}, std::move(done)});
}

void PortalConnection::startRequest(sd_bus_message* call, const std::string& token, RequestDone done) {
  std::string path = requestPath(token);
  requests_[path] = Request{std::move(done), std::chrono::steady_clock::now() + kResponseTimeout};
  startCall(call, Call{path, nullptr});
}

void PortalConnection::startCall(sd_bus_message* call, Call entry) {
  std::uint64_t cookie = 0;
  if (lost_ || sd_bus_call_async(bus_, nullptr, call, onMethodReply, this, kCallTimeoutUsec) < 0 ||
      sd_bus_message_get_cookie(call, &cookie) < 0) {
    if (entry.done) return entry.done(false);
    return finishRequest(entry.requestPath, Outcome::refused);
  }
  calls_[cookie] = std::move(entry);
}

int PortalConnection::onMethodReply(sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* connection = static_cast<PortalConnection*>(self);
  std::uint64_t cookie = 0;
  if (sd_bus_message_get_reply_cookie(reply, &cookie) < 0) return 0;
  auto it = connection->calls_.find(cookie);
  if (it == connection->calls_.end()) return 0;
  Call call = std::move(it->second);
  connection->calls_.erase(it);
  bool ok = !sd_bus_message_is_method_error(reply, nullptr);
  if (call.done) {
    call.done(ok);
  } else if (!ok) {
    // The portal refused the call (no such method, bad arguments, no backend).
    connection->finishRequest(call.requestPath, Outcome::refused);
  }
  // A request handle other than the predicted one belongs to portals older than the
  // handle_token option; those are not supported and time out.
  return 1;
}

int PortalConnection::onResponse(sd_bus_message* signal, void* self, sd_bus_error*) {
  auto* connection = static_cast<PortalConnection*>(self);
  const char* path = sd_bus_message_get_path(signal);
  std::uint32_t response = 0;
  if (!path || !connection->requests_.count(path)) return 0;
  if (sd_bus_message_read(signal, "u", &response) <= 0) {
    connection->finishRequest(path, Outcome::unclear);
  } else {
    connection->finishRequest(path, response == 0 ? Outcome::granted : Outcome::refused, signal);
  }
  return 0;
}

void PortalConnection::finishRequest(const std::string& path, Outcome outcome, sd_bus_message* results) {
  auto it = requests_.find(path);
  if (it == requests_.end()) return;
  auto done = std::move(it->second.done);
  requests_.erase(it);
  done(outcome, results);
}

int PortalConnection::onShortcut(sd_bus_message* signal, void* self, sd_bus_error*) {
  auto* connection = static_cast<PortalConnection*>(self);
  const char* member = sd_bus_message_get_member(signal);
  const char* session = nullptr;
  const char* id = nullptr;
  if (!member || sd_bus_message_read(signal, "os", &session, &id) < 0 || std::strcmp(id, kShortcutId) != 0) return 0;
  if (std::strcmp(member, "Activated") == 0) connection->listener_.shortcutChanged(session, true);
  if (std::strcmp(member, "Deactivated") == 0) connection->listener_.shortcutChanged(session, false);
  return 0;
}

int PortalConnection::onSessionClosed(sd_bus_message* signal, void* self, sd_bus_error*) {
  const char* path = sd_bus_message_get_path(signal);
  if (path) static_cast<PortalConnection*>(self)->listener_.sessionClosed(path);
  return 0;
}

int PortalConnection::onOwnerChanged(sd_bus_message* signal, void* self, sd_bus_error*) {
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  auto* connection = static_cast<PortalConnection*>(self);
  bool present = newOwner && *newOwner;
  if (!present) {
    // Whatever the portal was still to answer, it never will.
    connection->failAllRequests();
  }
  connection->listener_.portalPresence(present);
  return 0;
}

void PortalConnection::failAllRequests() {
  // Callbacks may start new calls: take everything out first.
  auto requests = std::exchange(requests_, {});
  auto calls = std::exchange(calls_, {});
  for (auto& [cookie, call] : calls) {
    if (call.done) call.done(false);
  }
  for (auto& [path, request] : requests) request.done(Outcome::refused, nullptr);
}

void PortalConnection::expireRequests() {
  auto now = std::chrono::steady_clock::now();
  std::vector<std::string> late;
  for (const auto& [path, request] : requests_) {
    if (request.deadline <= now) late.push_back(path);
  }
  for (const auto& path : late) finishRequest(path, Outcome::unclear);
}

bool PortalConnection::process() {
  for (;;) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      lost_ = true;
      failAllRequests();
      return false;
    }
    if (r == 0) return true;
  }
}

bool PortalConnection::wait(int wakeFd, std::chrono::milliseconds max) {
  if (lost_ || !process()) return false;
  expireRequests();
  int timeout = static_cast<int>(max.count());
  std::uint64_t busTimeout = 0;
  if (sd_bus_get_timeout(bus_, &busTimeout) > 0 && busTimeout != UINT64_MAX) {
    // An absolute CLOCK_MONOTONIC time in microseconds; steady_clock is that clock here.
    auto nowUsec = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
    auto left = busTimeout > static_cast<std::uint64_t>(nowUsec) ? (busTimeout - nowUsec + 999) / 1000 : 0;
    timeout = static_cast<int>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(timeout)));
  }
  if (!requests_.empty()) timeout = std::min(timeout, 1000);  // to notice a Response's deadline
  int events = sd_bus_get_events(bus_);
  pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(events < 0 ? POLLIN : events), 0},
                   {wakeFd, POLLIN, 0}};
  ::poll(fds, 2, timeout);
  return process();
}

}  // namespace vesk::portal
