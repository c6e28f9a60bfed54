#include "util/metrics_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "util/fd.h"
#include "util/write_fully.h"

namespace {

bool failed(std::string& error, const char* step, const std::string& file, int err) {
  error = std::string(step) + " " + file + ": " + strerror(err);
  return false;
}

}  // namespace

bool write_file_atomically(const std::string& path, const std::string& text, std::string& error) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return failed(error, "write", path, EISDIR);

  std::string temp_name = dir + "." + name + ".XXXXXX";
  std::vector<char> temp(temp_name.begin(), temp_name.end());
  temp.push_back('\0');
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return failed(error, "create", temp_name, errno);
  temp_name = temp.data();

  const char* step = nullptr;
  if (fchmod(fd.get(), 0644) != 0)
    step = "chmod";
  else if (write_fully(fd.get(), text.data(), text.size()) != text.size())
    step = "write";
  else if (close(fd.release()) != 0)
    step = "close";
  if (step == nullptr && rename(temp_name.c_str(), path.c_str()) == 0) return true;
  const int err = errno;
  fd.reset();
  unlink(temp_name.c_str());
  return step != nullptr ? failed(error, step, temp_name, err) : failed(error, "rename to", path, err);
}
