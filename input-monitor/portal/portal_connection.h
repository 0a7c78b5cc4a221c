// One sd-bus connection to the session bus, speaking to the XDG desktop portal's
// GlobalShortcuts interface: the three session calls, each answered by the portal's
// Response signal on a request object, and the portal's signals for a session.
// Used only on the portal keyboard's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>

#include "input-monitor/portal/shortcut.h"

namespace vesk::portal {

class PortalConnection {
 public:
  /// What the portal and the bus tell about sessions. Called inside `wait`.
  class Listener {
   public:
    virtual ~Listener() = default;
    /// The shortcut of a session was pressed (`pressed`) or released.
    virtual void shortcutChanged(const std::string& sessionPath, bool pressed) = 0;
    /// The portal closed a session on its own.
    virtual void sessionClosed(const std::string& sessionPath) = 0;
    /// The portal left the bus (`present` false) or came onto it.
    virtual void portalPresence(bool present) = 0;
  };

  using SessionDone = std::function<void(std::optional<std::string> sessionPath)>;
  using Done = std::function<void(bool ok)>;

  /// Connects to the session bus and listens for the portal's signals; none when
  /// there is no session bus.
  static std::unique_ptr<PortalConnection> open(Listener& listener);
  ~PortalConnection();
  PortalConnection(const PortalConnection&) = delete;
  PortalConnection& operator=(const PortalConnection&) = delete;

  /// Whether the bus's portal offers GlobalShortcuts, starting the portal if needed.
  /// Blocks for at most the call timeout.
  bool offersShortcuts();

  /// CreateSession with this session token and, when given, the shortcut in its
  /// options; `done` gets the session's path, or none when the portal refused or
  /// failed. An answer that could not be read, or none in time, is settled by asking
  /// the session's object itself whether it exists.
  void createSession(const std::string& token, const std::optional<PortalShortcut>& shortcut, SessionDone done);
  /// BindShortcuts of the shortcut to an open session.
  void bindShortcuts(const std::string& sessionPath, const PortalShortcut& shortcut, Done done);
  /// Closes a session; `done` runs when the portal has taken the call (or failed it).
  void closeSession(const std::string& sessionPath, Done done);

  /// Handles bus traffic for up to `max`, returning early when `wakeFd` is readable.
  /// False once the connection is lost: every request still open has then failed.
  bool wait(int wakeFd, std::chrono::milliseconds max);

 private:
  // A method call in flight: a portal request waiting for its handle, or a plain call.
  struct Call {
    std::string requestPath;
    Done done;
  };
  // How a request ended: a Response granting it (with its results), a refusal or a
  // failure, or nothing that can be read as either.
  enum class Outcome { granted, refused, unclear };
  using RequestDone = std::function<void(Outcome outcome, sd_bus_message* results)>;
  struct Request {
    RequestDone done;
    std::chrono::steady_clock::time_point deadline;
  };

  PortalConnection(sd_bus* bus, Listener& listener);
  bool subscribe();
  std::string nextToken();
  std::string requestPath(const std::string& token) const;
  std::string sessionPath(const std::string& token) const;
  void startRequest(sd_bus_message* call, const std::string& token, RequestDone done);
  void startCall(sd_bus_message* call, Call entry);
  void finishRequest(const std::string& path, Outcome outcome, sd_bus_message* results = nullptr);
  void confirmSession(const std::string& path, SessionDone done);
  void failAllRequests();
  void expireRequests();
  bool process();

  static int onMethodReply(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onResponse(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onShortcut(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onSessionClosed(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onOwnerChanged(sd_bus_message* signal, void* self, sd_bus_error* error);

  sd_bus* bus_;
  Listener& listener_;
  std::string senderPart_;  // our unique name as a request path element
  std::uint64_t tokenCounter_ = 0;
  bool lost_ = false;
  std::map<std::string, Request> requests_;          // by request object path
  std::map<std::uint64_t, Call> calls_;      // by the cookie of the method call
};

}  // namespace vesk::portal
