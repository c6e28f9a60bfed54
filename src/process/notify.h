// Readiness and status notifications to the service manager (systemd's
// sd_notify protocol, without libsystemd).
//
// A unit of Type=notify starts the filter with $NOTIFY_SOCKET naming a
// datagram socket (a path, or "@name" in the abstract namespace). Each call
// sends one datagram of newline-separated VAR=VALUE assignments there:
//
//   notify("READY=1");                 once the milter socket accepts
//   notify("STOPPING=1");              on the way down
//   notify_status("Accepting connections on %s", sock);   sends "STATUS=..."
//
// Both return false when nothing was sent: no $NOTIFY_SOCKET (started by hand
// or by another service manager, the usual case outside systemd), an address
// that is too long, or a failing send; callers go on either way. Every call
// opens and closes its own socket, so any thread may call at any time.
//
// Layer: process. Owns one datagram socket per call; uses util/fd.
#pragma once

bool notify(const char* assignments);

// "STATUS=" followed by the formatted text, cut at kMaxNotifyStatus bytes.
bool notify_status(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One line for `systemctl status`; longer texts are cut, not refused.
constexpr int kMaxNotifyStatus = 200;
