// The outcome of a parser or a start-up step: success, or the reason.
//
// Parsers and start-up helpers never print or exit themselves; they return
// an outcome, and only the start-up sequence turns a failure into output on
// standard error and an exit status. `message` is written exactly as it
// stands (it carries its own newline where one belongs).
//
// Layer: config. A value; uses nothing.
#pragma once

#include <string>
#include <utility>

struct outcome {
  int exit_status = 0;  // 0: success; otherwise the status the process ends with
  std::string message;  // for standard error; may be empty

  bool ok() const { return exit_status == 0; }
};

inline outcome success() { return {}; }
inline outcome failure(int exit_status, std::string message) { return {exit_status, std::move(message)}; }
