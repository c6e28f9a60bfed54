#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace milter {

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

bool parse_port(const std::string& text, uint16_t& port) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < 1 || v > 65535) return false;
  port = htons(static_cast<uint16_t>(v));
  return true;
}

template <typename T>
void store(endpoint& e, const T& sa, socklen_t len) {
  memcpy(&e.addr, &sa, sizeof sa);
  e.len = len;
  e.family = reinterpret_cast<const sockaddr*>(&sa)->sa_family;
}

}  // namespace

bool parse_endpoint(const std::string& text, endpoint& out, std::string& why) {
  std::string rest = text;
  if (starts_with(rest, "unix:")) rest = rest.substr(5);
  else if (starts_with(rest, "local:")) rest = rest.substr(6);
  if (starts_with(rest, "inet:") || starts_with(rest, "inet6:")) {
    const bool v6 = starts_with(rest, "inet6:");
    rest = rest.substr(v6 ? 6 : 5);
    size_t at = rest.find('@');
    if (at == std::string::npos) {
      why = "inet socket without @address";
      return false;
    }
    uint16_t port = 0;
    if (!parse_port(rest.substr(0, at), port)) {
      why = "bad port: " + rest.substr(0, at);
      return false;
    }
    const std::string host = rest.substr(at + 1);
    if (v6) {
      sockaddr_in6 sin6{};
      sin6.sin6_family = AF_INET6;
      sin6.sin6_port = port;
      if (inet_pton(AF_INET6, host.c_str(), &sin6.sin6_addr) != 1) {
        why = "bad inet6 address: " + host;
        return false;
      }
      store(out, sin6, sizeof sin6);
    } else {
      sockaddr_in sin{};
      sin.sin_family = AF_INET;
      sin.sin_port = port;
      if (inet_pton(AF_INET, host.c_str(), &sin.sin_addr) != 1) {
        why = "bad inet address: " + host;
        return false;
      }
      store(out, sin, sizeof sin);
    }
    return true;
  }
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  if (rest.empty() || rest.size() >= sizeof sun.sun_path) {
    why = "bad unix socket path";
    return false;
  }
  memcpy(sun.sun_path, rest.data(), rest.size());
  store(out, sun, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + rest.size() + 1));
  return true;
}

bool is_loopback(const endpoint& e) {
  if (e.family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&e.addr)->sin_addr.s_addr) >> 24) == 127;
  if (e.family == AF_INET6) return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&e.addr)->sin6_addr);
  return true;
}

}  // namespace milter
