// A stop that lets the sessions in progress end: the drain.
//
// libmilter's own stop (smfi_stop(), or the SIGTERM, SIGINT and SIGHUP its
// signal thread takes) abandons every open session at once. drain_and_stop()
// instead
//   1. stops taking sessions: a placeholder listening socket that nobody
//      connects to takes the place of libmilter's listening descriptor
//      (dup2), so its accept loop finds nothing more. The real socket is
//      never shut down: when systemd holds it, new connections wait in its
//      backlog for the next process;
//   2. waits until no session has been open for kDrainSettle, and no longer
//      than kDrainBound;
//   3. calls smfi_stop() and interrupts libmilter's loop, which polls its
//      socket for up to 5 s, with SIGURG, so that it ends at once.
// set_drain_listener(), called on the thread that then runs smfi_main(),
// names libmilter's listening descriptor (listener.h, milter_listener());
// without it drain_and_stop() stops at once, as
// smfi_stop() does. end_drain() cuts a drain short once libmilter's loop has
// ended by other means (a SIGTERM during the drain). drain_cut_sessions()
// tells whether the drain stopped libmilter with sessions still open (it
// reached its bound): their messages will not end. The signal thread runs
// drain_and_stop(); it logs what it does at D_ALWAYS and never throws.
//
// Layer: process. Owns the placeholder socket; may use util (fd, counters),
// config/debug, notify and libmilter's smfi_stop.
#pragma once

// Mail servers wait this long for a filter's reply, the negotiation of a
// connection held in the backlog included (Postfix's milter_command_timeout,
// 30 s by default): the drain and the next start stay well below it.
constexpr int kDrainBound = 15;  // seconds
// A connection libmilter accepted just before the swap reaches the filter's
// connect callback, and so the count of open sessions, a moment later: the
// count must stay 0 this long before the drain ends.
constexpr int kDrainSettleMs = 300;

void set_drain_listener(int fd);
void drain_and_stop(const char* signal_name);
void end_drain();
bool drain_cut_sessions();
