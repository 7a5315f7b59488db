// A scratch directory for the LIPC stand-ins of one test, and small helpers
// for reading what they recorded.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class SimDir {
 public:
  SimDir() {
    char tmpl[] = "/tmp/folian-device-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    setenv("FOLIAN_SIM_LIPC_DIR", path_.c_str(), 1);
  }
  ~SimDir() {
    unsetenv("FOLIAN_SIM_LIPC_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  SimDir(const SimDir&) = delete;
  SimDir& operator=(const SimDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }
  std::string read(const std::string& name) const {
    std::stringstream ss;
    ss << std::ifstream(file(name)).rdbuf();
    return ss.str();
  }
  std::vector<std::string> lines(const std::string& name) const {
    std::vector<std::string> out;
    std::ifstream in(file(name));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  // Waits until `name` has at least `count` lines (the stand-ins write from
  // other processes); returns what it has after at most `ms`.
  std::vector<std::string> wait_lines(const std::string& name, size_t count, int ms = 5000) const {
    for (int waited = 0;; waited += 10) {
      auto got = lines(name);
      if (got.size() >= count || waited >= ms) return got;
      struct timespec step = {0, 10 * 1000 * 1000};
      nanosleep(&step, nullptr);
    }
  }

 private:
  std::string path_;
};
