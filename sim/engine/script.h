// The application script, <assets_path>/folian_app.txt: read once when the
// engine starts (format in README.md), run command by command on the UI
// thread.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace stand_in {

struct Len {
  double value = 0;
  bool percent = false;
  int px(int whole) const { return percent ? (int)(value * whole / 100.0 + 0.5) : (int)value; }
};

struct DrawOp {
  enum Kind { kClear, kFill, kRect, kBands, kChecker } kind = kFill;
  Len x, y, w, h;
  uint8_t r = 255, g = 255, b = 255;
  int n = 0;
};
using Drawing = std::vector<DrawOp>;

struct Command {
  int line = 0;
  std::string name;
  std::vector<std::string> args;           // tokens after the name
  std::string tail;                        // raw text after the name
  std::string rest;                        // raw text after the first argument
  DrawOp op;                               // for drawing commands
  int width = 0, rows = 0, row_bytes = 0;  // present overrides (0 = default)
  int want = -1;                           // the pointer phase or key type a wait is for (-1 = any)
};

struct Script {
  std::vector<std::string> errors;  // told through the log callback once running
  std::vector<Command> commands;
  std::vector<Drawing> pages;
};

// Traces the script and each bad line (which is skipped).  Without a script
// the application shows one white page.
Script load_script(const std::string& assets);

// Traces an error on a line of the script and returns it as the user reads it.
std::string script_error(int line, const std::string& text);

bool is_draw(const std::string& name);

// The bytes a valid `call`, `message`, `message_hex` or `quit` sends.
std::vector<uint8_t> command_bytes(const Command& c);

}  // namespace stand_in
