// Scripted answers of the stand-in daemons.
//
// A script file is a list of blocks separated by lines holding only "%%";
// each block is the answer to one request of its role, in order. Within a
// block, a line starting with "@" is a directive, any other line is answer
// text: its escapes (\r \n \t \0 \\ \xNN) are decoded and CR LF is appended.
// A block without text answers with the rules' answer. Directives:
//   @#...            comment
//   @raw TEXT        TEXT with escapes decoded, no CR LF appended
//   @pad N           N bytes of "x" at this point (oversize answers)
//   @pause MS        end the current segment; send the next after MS ms
//   @split BYTES MS  cut the final answer after BYTES bytes, pause MS ms
//   @delay SECONDS   wait before answering (fractions allowed)
//   @slowread BYTES MS  read the request BYTES at a time, MS ms apart
//   @refuse          close at once, before reading the request
//   @close           read the request, close without answering
//   @silent          read the request, never answer, hold until the client closes
//   @hold            after answering, hold until the client closes
//   @reset           after answering, end the connection with a reset
// parse_script() returns false and sets `error` ("line N: ...") on bad input.
#pragma once

#include <string>
#include <vector>

struct script_segment {
  int pause_ms = 0;   // wait before sending this segment
  std::string bytes;
};

struct script_block {
  bool refuse = false;
  bool close_unanswered = false;
  bool silent = false;
  bool hold = false;
  bool reset = false;
  double delay = 0;
  int split_at = -1;  // @split: byte offset, -1 for none
  int split_ms = 0;
  int slow_bytes = 0;  // @slowread: bytes per read, 0 for a normal read
  int slow_ms = 0;
  bool has_text = false;
  std::vector<script_segment> segments;
};

bool parse_script(const std::string& text, std::vector<script_block>& blocks, std::string& error);

// Decodes \r \n \t \0 \\ \xNN in `in`; false on an unknown or cut escape.
bool decode_escapes(const std::string& in, std::string& out);
