// Helpers shared by the input and control unit tests: a directory of stand-in
// event nodes, the program's standard error captured, and pumping the input
// module the way the main loop does.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "input.h"
#include "stderr_capture.h"

namespace testing_support {

inline std::string read_file(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
}
inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}
inline std::string make_temp_dir() {
  char tmpl[] = "/tmp/folian-input-XXXXXX";
  return mkdtemp(tmpl) ? tmpl : "";
}

// What the program wrote to standard error since capture_log() began.
inline void capture_log() { ::testing::internal::CaptureStderr(); }
inline std::string logged() { return ::testing::internal::GetCapturedStderr(); }
inline bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

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
    std::filesystem::remove_all(root_);
  }
  const std::string& root() const { return root_; }

  void add(const std::string& entry, const std::string& conf) {
    mkfifo((root_ + "/dev/" + entry).c_str(), 0600);
    write_file(root_ + "/conf/" + entry, conf);
  }
  // What the hardware reports, in one write; the stand-in passes it through
  // the kernel's input core before the program reads it. Events reach the
  // program only once it holds the node open.
  void send(const std::string& entry, const std::vector<input_event>& events) {
    std::string bytes((const char*)events.data(), events.size() * sizeof(input_event));
    int& fd = writers_[entry];
    if (fd <= 0) fd = open((root_ + "/dev/" + entry).c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  }
  void unplug(const std::string& entry) {
    close(writers_.at(entry));
    writers_.erase(entry);
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
