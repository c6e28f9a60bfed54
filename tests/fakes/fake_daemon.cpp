#include "fakes/fake_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

FakeDaemon::FakeDaemon() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("fake daemon: socket");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(listen_fd_, 64) != 0)
    throw std::runtime_error("fake daemon: bind/listen");
  socklen_t len = sizeof sin;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sin), &len);
  port_ = ntohs(sin.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

void FakeDaemon::answer(const std::string& bytes) { answer_steps({{step::send, bytes, 0}}); }

void FakeDaemon::answer_steps(std::vector<step> steps) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.push_back(std::move(steps));
}

std::vector<std::string> FakeDaemon::requests() {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

bool FakeDaemon::wait_requests(size_t n, int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return requests_.size() >= n; });
}

void FakeDaemon::serve() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handle(fd);
    close(fd);
  }
}

// Reads the header block, then Content-Length bytes of body; a client that
// pauses for 300 ms is taken to have sent all it will.
static std::string read_request(int fd) {
  std::string req;
  char buf[4096];
  size_t want = std::string::npos;
  for (;;) {
    if (want != std::string::npos && req.size() >= want) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 300) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, static_cast<size_t>(n));
    size_t end = req.find("\r\n\r\n");
    if (want == std::string::npos && end != std::string::npos) {
      size_t cl = req.find("Content-Length: ");
      if (cl != std::string::npos && cl < end) want = end + 4 + strtoul(req.c_str() + cl + 16, nullptr, 10);
    }
  }
  return req;
}

void FakeDaemon::handle(int fd) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!script_.empty() && !script_.front().empty() && script_.front().front().kind == step::refuse) {
      script_.pop_front();
      return;
    }
  }
  std::string req = read_request(fd);
  std::vector<step> steps;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(req);
    if (!script_.empty()) {
      steps = std::move(script_.front());
      script_.pop_front();
    } else {
      steps = {{step::send, "HTTP/1.0 200 OK\r\n\r\n", 0}};
    }
  }
  cv_.notify_all();
  for (const step& s : steps) {
    switch (s.kind) {
      case step::send:
        (void)!write(fd, s.bytes.data(), s.bytes.size());
        break;
      case step::pause_ms:
        std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
        break;
      case step::silent:
        // Hold the connection open until the client gives up or the test ends.
        while (!stop_) {
          pollfd p{fd, POLLIN, 0};
          if (poll(&p, 1, 50) > 0) {
            char c;
            if (recv(fd, &c, 1, 0) <= 0) return;
          }
        }
        return;
      case step::reset: {
        linger l{1, 0};  // closing now sends a reset, not a FIN
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return;
      }
      case step::close_now:
      case step::refuse:
        return;
    }
  }
}
