// What both X connections of the backend share: opening a display without Xlib
// writing on standard error, Xlib's process-wide error handlers, and noticing a server
// that went away. Called from the event thread and the swallowing thread.
#pragma once

#include <X11/Xlib.h>
#include <poll.h>

namespace vesk::x11 {

/// Installs handlers that record errors instead of printing them or ending the process.
/// Call once, before any display is opened.
void installErrorHandlers();

/// XOpenDisplay with standard error closed to Xlib: a refusing server's reason
/// ("Authorization required...") would otherwise be printed there. Start-up only, while
/// no other thread writes. Also keeps Xlib from ending the process when it loses the
/// connection.
Display* openDisplayQuietly(const char* name);

/// The error code of the last failed request on the calling thread since the last call, or 0.
int takeLastError();

/// Whether a connection has been lost; once true, no X call is made any more.
bool displayLost();
void markDisplayLost();

/// Whether poll found the server's end of this connection closed. Noticed here, before
/// Xlib does: Xlib's own path for a lost connection unlocks a display mutex it never locked.
bool serverClosed(const pollfd& fd);

}  // namespace vesk::x11
