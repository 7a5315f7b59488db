// Standard error captured around the code under test, for the tests that
// look at the lines users and tools read.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <string>

// Everything written to standard error between construction and text().
class StderrCapture {
 public:
  StderrCapture() : file_(tmpfile()), saved_(dup(2)) {
    fflush(stderr);
    dup2(fileno(file_), 2);
  }
  std::string text() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
      rewind(file_);
      char buf[4096];
      for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) text_.append(buf, n);
      fclose(file_);
    }
    return text_;
  }
  ~StderrCapture() { text(); }

 private:
  FILE* file_;
  int saved_;
  std::string text_;
};

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
