// Where a milter client connects: the filter's -p text as a socket address.
//
// parse_endpoint() takes the forms the filter's -p takes: /path, unix:/path,
// local:/path, inet:PORT@ADDRESS and inet6:PORT@ADDRESS. The address must be
// numeric (no name is looked up, so parsing never waits). It returns false
// with a short reason in `why` ("inet socket without @address", "bad port:
// 0x", ...) and leaves `out` unspecified.
#pragma once

#include <sys/socket.h>

#include <string>

namespace milter {

struct endpoint {
  int family = AF_UNIX;
  sockaddr_storage addr{};
  socklen_t len = 0;
};

bool parse_endpoint(const std::string& text, endpoint& out, std::string& why);

// True for 127.0.0.0/8, ::1 and every unix socket.
bool is_loopback(const endpoint& e);

}  // namespace milter
