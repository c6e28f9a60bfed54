#include "script.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

bool decode_escapes(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        if (i + 2 >= in.size() || !isxdigit(static_cast<unsigned char>(in[i + 1])) ||
            !isxdigit(static_cast<unsigned char>(in[i + 2])))
          return false;
        long v = strtol(in.substr(i + 1, 2).c_str(), nullptr, 16);
        out += static_cast<char>(v);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

namespace {

bool parse_number(const std::string& s, double& v) {
  char* end = nullptr;
  v = strtod(s.c_str(), &end);
  return !s.empty() && *end == '\0' && v >= 0;
}

bool parse_int(const std::string& s, int& v) {
  char* end = nullptr;
  long l = strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || l < 0 || l > 100000000) return false;
  v = static_cast<int>(l);
  return true;
}

}  // namespace

bool parse_script(const std::string& text, std::vector<script_block>& blocks, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int lineno = 0;
  script_block cur;
  cur.segments.emplace_back();
  bool any = false;  // the current block has a line at all
  auto finish = [&] {
    if (any) blocks.push_back(cur);
    cur = script_block{};
    cur.segments.emplace_back();
    any = false;
  };
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(lineno) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "%%") {
      // Every separator ends a block, an empty one included (a plain rules
      // answer); at the end of the file only a block with lines counts.
      any = true;
      finish();
      continue;
    }
    if (line.compare(0, 2, "@#") == 0) continue;
    any = true;
    if (line.empty() || line[0] != '@') {
      std::string bytes;
      if (!decode_escapes(line, bytes)) return fail("bad escape");
      cur.segments.back().bytes += bytes + "\r\n";
      cur.has_text = true;
      continue;
    }
    size_t blank = line.find(' ');
    std::string word = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
    std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "raw") {
      std::string bytes;
      if (!decode_escapes(arg, bytes)) return fail("bad escape");
      cur.segments.back().bytes += bytes;
      cur.has_text = true;
    } else if (word == "pad") {
      int n;
      if (!parse_int(arg, n)) return fail("@pad needs a byte count");
      cur.segments.back().bytes.append(static_cast<size_t>(n), 'x');
      cur.has_text = true;
    } else if (word == "pause") {
      int ms;
      if (!parse_int(arg, ms)) return fail("@pause needs milliseconds");
      cur.segments.push_back(script_segment{ms, ""});
    } else if (word == "split") {
      std::istringstream a(arg);
      std::string b, m;
      a >> b >> m;
      if (!parse_int(b, cur.split_at) || !parse_int(m, cur.split_ms)) return fail("@split needs BYTES MS");
    } else if (word == "slowread") {
      std::istringstream a(arg);
      std::string b, m;
      a >> b >> m;
      if (!parse_int(b, cur.slow_bytes) || cur.slow_bytes == 0 || !parse_int(m, cur.slow_ms))
        return fail("@slowread needs BYTES (at least 1) MS");
    } else if (word == "delay") {
      if (!parse_number(arg, cur.delay)) return fail("@delay needs seconds");
    } else if (word == "refuse") {
      cur.refuse = true;
    } else if (word == "close") {
      cur.close_unanswered = true;
    } else if (word == "silent") {
      cur.silent = true;
    } else if (word == "hold") {
      cur.hold = true;
    } else if (word == "reset") {
      cur.reset = true;
    } else {
      return fail("unknown directive @" + word);
    }
  }
  finish();
  return true;
}
