// Helpers shared by the input and control unit tests: a directory of stand-in
// event nodes, the program's standard error captured, and pumping the input
// module the way the main loop does.
#pragma once

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "input.h"

namespace testing_support {

inline std::string make_temp_dir() {
  char tmpl[] = "/tmp/folian-input-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

inline void remove_tree(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) perror("rm");
}

inline std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

inline void write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Everything written to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(2);
    char tmpl[] = "/tmp/folian-stderr-XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    dup2(fd_, 2);
  }
  ~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    close(fd_);
    unlink(path_.c_str());
    fputs(text_.c_str(), stderr);
  }
  std::string text() {
    fflush(stderr);
    text_ = read_file(path_);
    return text_;
  }
  bool has(const std::string& needle) { return text().find(needle) != std::string::npos; }

 private:
  int saved_ = -1;
  int fd_ = -1;
  std::string path_;
  std::string text_;
};

// A directory of stand-in nodes: <root>/dev/<entry> FIFOs and their
// configuration in <root>/conf/<entry>.
class Nodes {
 public:
  Nodes() : root_(make_temp_dir()) {
    mkdir((root_ + "/dev").c_str(), 0700);
    mkdir((root_ + "/conf").c_str(), 0700);
    setenv("FOLIAN_SIM_EVDEV_DIR", root_.c_str(), 1);
  }
  ~Nodes() {
    for (auto& w : writers_) close(w.second);
    unsetenv("FOLIAN_SIM_EVDEV_DIR");
    remove_tree(root_);
  }
  const std::string& root() const { return root_; }

  void add(const std::string& entry, const std::string& conf) {
    mkfifo((root_ + "/dev/" + entry).c_str(), 0600);
    configure(entry, conf);
  }
  void configure(const std::string& entry, const std::string& conf) {
    write_file(root_ + "/conf/" + entry, conf);
  }

  // Events reach the program only once it holds the node open.
  void send(const std::string& entry, const std::vector<input_event>& events) {
    send_bytes(entry, events.data(), events.size() * sizeof(input_event));
  }
  void send_bytes(const std::string& entry, const void* data, size_t size) {
    int& fd = writers_[entry];
    if (fd <= 0) fd = open((root_ + "/dev/" + entry).c_str(), O_WRONLY | O_NONBLOCK);
    if (write(fd, data, size) != (ssize_t)size) perror("write node");
  }
  void unplug(const std::string& entry) {
    auto it = writers_.find(entry);
    if (it == writers_.end()) return;
    close(it->second);
    writers_.erase(it);
  }
  std::string log() const { return read_file(root_ + "/evdev.log"); }

 private:
  std::string root_;
  std::map<std::string, int> writers_;
};

inline input_event ev(int type, int code, int value) {
  input_event e{};
  e.type = (unsigned short)type;
  e.code = (unsigned short)code;
  e.value = value;
  return e;
}
inline input_event syn() { return ev(EV_SYN, SYN_REPORT, 0); }

// One pass of the main loop over the input descriptors.
inline void pump() {
  struct pollfd fds[12];
  int m = input_poll_fds(fds, 12);
  if (m > 0 && poll(fds, (nfds_t)m, 0) > 0) input_process(fds, m, fake::engine());
}

// Pointer events without the one-time kAdd announcements.
inline std::vector<FlutterPointerEvent> touches() {
  std::vector<FlutterPointerEvent> out;
  for (const auto& e : fake::pointer_events())
    if (e.phase != kAdd) out.push_back(e);
  return out;
}

inline std::string message_text(size_t i) {
  const auto& m = fake::messages_sent().at(i);
  return std::string(m.bytes.begin(), m.bytes.end());
}

// Configuration of a typical multi-touch screen, axes 0..4095.
inline std::string mt_screen(const std::string& name = "touch") {
  return "name " + name +
         "\ntypes 0,1,3\nabs 47,53,54,57\nkeys 330\n"
         "absinfo 53 0 0 4095\nabsinfo 54 0 0 4095\nabsinfo 47 0 0 9\n";
}
inline std::string page_keys(const std::string& name = "keys") {
  return "name " + name + "\ntypes 0,1\nkeys 104,109\n";
}

}  // namespace testing_support
