// An in-process scanning daemon on a real loopback socket, for unit tests.
//
// Each accepted connection reads one request (the header block and
// Content-Length bytes of body, or until the client stops sending for a
// moment), records it, then plays the next scripted answer and closes.
// An answer is a list of steps: bytes to send, pauses, or "stay silent" /
// "close without answering", or "refuse" (as the first step: close at once,
// before reading the request), or "reset" (end the connection with a reset). With no scripted answer left it answers
// "HTTP/1.0 200 OK\r\n\r\n".
//
//   FakeDaemon d;
//   d.answer("HTTP/1.0 200 OK\r\nX-TVRN-Spam: Bulk\r\n\r\n");
//   ... connect to 127.0.0.1:d.port() ...
//   EXPECT_EQ(d.requests().at(0), expected_bytes);
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeDaemon {
 public:
  struct step {
    enum kind_t { send, pause_ms, silent, close_now, refuse, reset } kind;
    std::string bytes;  // for send
    int ms = 0;         // for pause_ms
  };

  FakeDaemon();
  ~FakeDaemon();
  FakeDaemon(const FakeDaemon&) = delete;
  FakeDaemon& operator=(const FakeDaemon&) = delete;

  uint16_t port() const { return port_; }

  void answer(const std::string& bytes);          // one segment, then close
  void answer_steps(std::vector<step> steps);      // anything more elaborate
  std::vector<std::string> requests();             // raw requests, in arrival order
  // Waits (at most `ms`) until `n` requests have arrived.
  bool wait_requests(size_t n, int ms = 5000);

 private:
  void serve();
  void handle(int fd);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::vector<step>> script_;
  std::vector<std::string> requests_;
  std::thread thread_;
};
