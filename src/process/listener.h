// The filter's listening socket: TCP_NODELAY for inet, and which descriptor
// libmilter listens on.
//
// Over an inet socket libmilter writes each reply packet with a write of its
// own; with Nagle's algorithm on, a packet that follows an unacknowledged one
// waits for the mail server's delayed ACK (about 40 ms per message that adds
// headers). libmilter opens the listening socket itself and does not hand it
// out, so set_listener_nodelay() finds it among the process's descriptors
// (a listening stream socket of family AF_INET or AF_INET6) and turns
// TCP_NODELAY on; Linux copies the option to every socket accepted from it.
// Call it after smfi_opensocket(). It returns how many sockets it changed:
// 0 for a unix socket or when the socket is not open (smfi_main() reports
// that), and logs (D_MISC) a socket it could not change. Never fails hard.
// listener_is_inet() says whether the listening socket found so is TCP
// (the no-reply steps depend on it: session/negotiation.h).
//
// libmilter keeps its listening descriptor to itself too. milter_listener()
// names it exactly: N for the -p text "fd:N" (a socket passed by systemd),
// otherwise the one listening socket that was not among `before`, what
// listening_sockets() returned just before smfi_opensocket(). It returns -1
// when there is no such socket, or more than one.
//
// Layer: process. Owns nothing; may use config/debug and the socket API.
#pragma once

#include <vector>

int set_listener_nodelay();
std::vector<int> listening_sockets();
int milter_listener(const char* conn, const std::vector<int>& before);
bool listener_is_inet();
