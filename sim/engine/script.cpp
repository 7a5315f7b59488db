#include "script.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace.h"

namespace stand_in {
namespace {

std::string without_spaces(const std::string& s) {
  std::string out;
  for (char ch : s)
    if (ch != ' ') out += ch;
  return out;
}

std::vector<std::string> tokenize(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  bool in_token = false, quoted = false;
  for (size_t i = 0; i < s.size(); i++) {
    char c = s[i];
    if (quoted) {
      if (c == '\\' && i + 1 < s.size()) {
        cur += s[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        cur += c;
      }
    } else if (c == '"') {
      quoted = in_token = true;
    } else if (c == ' ' || c == '\t') {
      if (in_token) out.push_back(cur);
      cur.clear();
      in_token = false;
    } else {
      cur += c;
      in_token = true;
    }
  }
  if (in_token) out.push_back(cur);
  return out;
}

bool parse_int(const std::string& s, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = strtoll(s.c_str(), &end, 0);
  if (*end) return false;
  *out = v;
  return true;
}

bool parse_len(const std::string& s, Len* out) {
  if (s.empty()) return false;
  std::string t = s;
  out->percent = t.back() == '%';
  if (out->percent) t.pop_back();
  char* end = nullptr;
  out->value = strtod(t.c_str(), &end);
  return !t.empty() && *end == 0;
}

// "gray G" or "rgb R G B" starting at args[i].
bool parse_colour(const std::vector<std::string>& a, size_t i, DrawOp* op) {
  long long v[3];
  if (i + 2 == a.size() && a[i] == "gray" && parse_int(a[i + 1], &v[0]) && v[0] >= 0 &&
      v[0] <= 255) {
    op->r = op->g = op->b = (uint8_t)v[0];
    return true;
  }
  if (i < a.size() && a[i] == "rgb" && i + 4 == a.size()) {
    for (int k = 0; k < 3; k++) {
      if (!parse_int(a[i + 1 + k], &v[k]) || v[k] < 0 || v[k] > 255) return false;
    }
    op->r = (uint8_t)v[0];
    op->g = (uint8_t)v[1];
    op->b = (uint8_t)v[2];
    return true;
  }
  return false;
}

// Returns an error text, empty when the line is a valid drawing command.
std::string parse_draw(Command* c) {
  const auto& a = c->args;
  DrawOp& op = c->op;
  if (c->name == "clear") {
    op.kind = DrawOp::kClear;
    return a.empty() ? "" : "clear takes no arguments";
  }
  if (c->name == "fill") {
    op.kind = DrawOp::kFill;
    return parse_colour(a, 0, &op) ? "" : "expected: fill gray G | fill rgb R G B";
  }
  if (c->name == "rect") {
    op.kind = DrawOp::kRect;
    if (a.size() >= 4 && parse_len(a[0], &op.x) && parse_len(a[1], &op.y) &&
        parse_len(a[2], &op.w) && parse_len(a[3], &op.h) && parse_colour(a, 4, &op))
      return "";
    return "expected: rect X Y W H gray G | rect X Y W H rgb R G B (X.. in px or %)";
  }
  if (c->name == "bands" || c->name == "checker") {
    op.kind = c->name == "bands" ? DrawOp::kBands : DrawOp::kChecker;
    long long n;
    if (a.size() == 1 && parse_int(a[0], &n) && n >= 1 && n <= 4096) {
      op.n = (int)n;
      return "";
    }
    return c->name + " takes one count from 1 to 4096";
  }
  return "?";
}

std::string parse_command(Command* c) {
  const std::string& n = c->name;
  const auto& a = c->args;
  if (is_draw(n)) return parse_draw(c);
  if (n == "present") {
    for (const auto& t : a) {
      size_t eq = t.find('=');
      long long v;
      if (eq == std::string::npos || !parse_int(t.substr(eq + 1), &v) || v < 0 || v > 100000)
        return "expected: present [width=N] [rows=N] [row_bytes=N]";
      std::string k = t.substr(0, eq);
      if (k == "width")
        c->width = (int)v;
      else if (k == "rows")
        c->rows = (int)v;
      else if (k == "row_bytes")
        c->row_bytes = (int)v;
      else
        return "unknown present option " + k;
    }
    return "";
  }
  long long v;
  if (n == "wait" || n == "task")
    return a.size() == 1 && parse_int(a[0], &v) && v >= 0 ? "" : n + " takes milliseconds";
  if (n == "wait_pointer") {
    // Numbered as FlutterPointerPhase; "any" matches every phase.
    static const char* phases[] = {"cancel", "up", "down", "move", "add", "remove", "hover", "any"};
    for (int i = 0; i < 8 && a.size() == 1; i++)
      if (a[0] == phases[i]) {
        c->want = i < 7 ? i : -1;
        return "";
      }
    return "expected: wait_pointer cancel|up|down|move|add|remove|hover|any";
  }
  if (n == "wait_key") {
    // Numbered as FlutterKeyEventType; without a type, or "any", every key event.
    c->want = a.size() != 1 || a[0] == "any" ? -1
              : a[0] == "up"                 ? 1
              : a[0] == "down"               ? 2
              : a[0] == "repeat"             ? 3
                                             : 0;
    return a.size() <= 1 && c->want ? "" : "expected: wait_key [up|down|repeat|any]";
  }
  if (n == "wait_lifecycle")
    return a.size() == 1 ? "" : "expected: wait_lifecycle resumed|inactive|paused|detached|hidden";
  if (n == "call") {
    if (a.size() < 2) return "expected: call CHANNEL METHOD [key=TYPE:VALUE ...]";
    for (size_t i = 2; i < a.size(); i++) {
      size_t eq = a[i].find('=');
      if (eq == std::string::npos || eq + 1 >= a[i].size()) return "bad argument " + a[i];
      std::string tv = a[i].substr(eq + 1);
      char t = tv[0];
      if (tv == "n" || tv == "n:") continue;
      if (tv.size() < 2 || tv[1] != ':' || !strchr("silbd", t)) return "bad argument " + a[i];
      std::string val = tv.substr(2);
      if ((t == 'i' || t == 'l') && !parse_int(val, &v)) return "bad integer in " + a[i];
      if (t == 'i' && (v < INT32_MIN || v > INT32_MAX)) return "int32 out of range in " + a[i];
      if (t == 'b' && val != "true" && val != "false") return "bad bool in " + a[i];
      if (t == 'd') {
        char* end = nullptr;
        strtod(val.c_str(), &end);
        if (val.empty() || *end) return "bad double in " + a[i];
      }
    }
    return "";
  }
  if (n == "message" || n == "message_hex") {
    if (a.empty()) return "expected: " + n + " CHANNEL BYTES";
    if (n == "message_hex") {
      std::string h = without_spaces(c->rest);
      if (h.size() % 2 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return "bad hex bytes";
    }
    return "";
  }
  if (n == "quit" || n == "pages") return a.empty() ? "" : n + " takes no arguments";
  if (n == "crash")
    return a.size() == 1 && (a[0] == "segv" || a[0] == "abort") ? "" : "expected: crash segv|abort";
  if (n == "log") return "";
  return "unknown command " + n;
}

}  // namespace

std::string script_error(int line, const std::string& text) {
  trace("script_error", fmt("line=%d text=", line) + enc(text));
  return fmt("folian_app.txt:%d: ", line) + text;
}

bool is_draw(const std::string& name) {
  return name == "clear" || name == "fill" || name == "rect" || name == "bands" ||
         name == "checker";
}

Script load_script(const std::string& assets) {
  Script s;
  std::string path = assets + "/folian_app.txt";
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    // No script: an idle application that shows one white page.
    Command fill;
    fill.name = "fill";  // the default DrawOp fills white
    s.commands.push_back(fill);
    Command c;
    c.name = "present";
    s.commands.push_back(c);
    return s;
  }
  trace("script", "path=" + enc(path));
  auto error = [&s](int line, const std::string& text) {
    s.errors.push_back(script_error(line, text));
  };
  char buf[4096];
  int line = 0;
  bool in_page = false, after_pages = false;
  while (fgets(buf, sizeof buf, f)) {
    line++;
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text[start] == '#') continue;
    text = text.substr(start);
    Command c;
    c.line = line;
    size_t sp = text.find_first_of(" \t");
    c.name = text.substr(0, sp);
    std::string tail = sp == std::string::npos ? "" : text.substr(sp + 1);
    c.args = tokenize(tail);
    c.tail = tail;
    // The raw bytes of "message CHANNEL BYTES": everything after the channel.
    size_t t0 = tail.find_first_not_of(" \t");
    if (t0 != std::string::npos) {
      size_t t1 = tail.find_first_of(" \t", t0);
      if (t1 != std::string::npos) c.rest = tail.substr(t1 + 1);
    }
    if (c.name == "page") {
      if (after_pages) {
        error(line, "page after pages");
        continue;
      }
      s.pages.emplace_back();
      in_page = true;
      continue;
    }
    std::string err = parse_command(&c);
    if (!err.empty()) {
      error(line, err);
      continue;
    }
    if (after_pages) {
      error(line, "nothing runs after pages");
      continue;
    }
    if (in_page) {
      if (is_draw(c.name)) {
        s.pages.back().push_back(c.op);
        continue;
      }
      if (c.name != "pages") {
        error(line, "only drawing commands belong to a page");
        continue;
      }
    }
    if (c.name == "pages") {
      if (s.pages.empty()) {
        error(line, "pages without any page");
        continue;
      }
      after_pages = true;
      in_page = false;
    }
    s.commands.push_back(c);
  }
  fclose(f);
  return s;
}

namespace {

// Just enough of the standard message codec to build method calls.
struct Encoder {
  std::vector<uint8_t> b;
  void size(uint32_t n) {
    if (n < 254) {
      b.push_back((uint8_t)n);
    } else if (n <= 0xffff) {
      b.push_back(254);
      b.push_back((uint8_t)n);
      b.push_back((uint8_t)(n >> 8));
    } else {
      b.push_back(255);
      for (int i = 0; i < 4; i++) b.push_back((uint8_t)(n >> (8 * i)));
    }
  }
  void string(const std::string& s) {
    b.push_back(7);
    size((uint32_t)s.size());
    b.insert(b.end(), s.begin(), s.end());
  }
  void int32(int32_t v) {
    b.push_back(3);
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)((uint32_t)v >> (8 * i)));
  }
  void int64(int64_t v) {
    b.push_back(4);
    for (int i = 0; i < 8; i++) b.push_back((uint8_t)((uint64_t)v >> (8 * i)));
  }
  void float64(double v) {
    b.push_back(6);
    while (b.size() % 8 != 0) b.push_back(0);
    uint64_t bits;
    memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; i++) b.push_back((uint8_t)(bits >> (8 * i)));
  }
};

}  // namespace

std::vector<uint8_t> command_bytes(const Command& c) {
  const auto& a = c.args;
  if (c.name == "quit") {
    static const char pop[] = "{\"method\":\"SystemNavigator.pop\",\"args\":null}";
    return std::vector<uint8_t>(pop, pop + sizeof pop - 1);
  }
  if (c.name == "message") return std::vector<uint8_t>(c.rest.begin(), c.rest.end());
  if (c.name == "message_hex") {
    std::string h = without_spaces(c.rest);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
      bytes.push_back((uint8_t)strtoul(h.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
  }
  // call CHANNEL METHOD [key=T:V ...]: a method call, arguments null or a map.
  Encoder enc_;
  enc_.string(a[1]);
  if (a.size() == 2) {
    enc_.b.push_back(0);
  } else {
    enc_.b.push_back(13);
    enc_.size((uint32_t)(a.size() - 2));
    for (size_t i = 2; i < a.size(); i++) {
      size_t eq = a[i].find('=');
      enc_.string(a[i].substr(0, eq));
      std::string tv = a[i].substr(eq + 1);
      std::string val = tv.size() > 2 ? tv.substr(2) : "";
      switch (tv[0]) {
        case 'n':
          enc_.b.push_back(0);
          break;
        case 's':
          enc_.string(val);
          break;
        case 'i':
          enc_.int32((int32_t)strtoll(val.c_str(), nullptr, 0));
          break;
        case 'l':
          enc_.int64((int64_t)strtoll(val.c_str(), nullptr, 0));
          break;
        case 'b':
          enc_.b.push_back(val == "true" ? 1 : 2);
          break;
        case 'd':
          enc_.float64(strtod(val.c_str(), nullptr));
          break;
      }
    }
  }
  return enc_.b;
}

}  // namespace stand_in
