#include "bundle.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "settings.h"

namespace {

// snprintf's result says whether the text fitted the buffer whole.
template <size_t N>
bool put(char (&out)[N], const char* format, const char* a, const char* b = "") {
  int written = snprintf(out, N, format, a, b);
  return written >= 0 && (size_t)written < N;
}

// The executable's directory, "." when /proc cannot tell it.
template <size_t N>
bool executable_dir(char (&out)[N]) {
  char exe[N];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  if (n < 1) return put(out, "%s", ".");
  if ((size_t)n >= sizeof exe) return false;
  exe[n] = '\0';
  return put(out, "%s", dirname(exe));
}

}  // namespace

bool bundle_find(const char* option, BundlePaths* p) {
  char exe_dir[4096];
  if (!executable_dir(exe_dir)) return false;
  const char* engine = setting_text("FOLIAN_ENGINE");
  return put(p->dir, "%s", option ? option : exe_dir) &&
         put(p->assets, "%s/data/flutter_assets", p->dir) &&
         put(p->icu, "%s/data/icudtl.dat", p->dir) && put(p->app, "%s/lib/libapp.so", p->dir) &&
         put(p->kernel, "%s/kernel_blob.bin", p->assets) &&
         put(p->manifest, "%s/bundle.json", p->dir) &&
         (engine && *engine ? put(p->engine, "%s", engine)
                            : put(p->engine, "%s/lib/libflutter_engine.so", exe_dir));
}

bool bundle_usable(const BundlePaths& p) {
  int fd = open(p.icu, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    log_error("读不了 ICU 数据 %s: %s\n", p.icu, strerror(errno));
    return false;
  }
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
  close(fd);
  if (err) {
    log_error("读不了 ICU 数据 %s: %s\n", p.icu, strerror(err));
    return false;
  }
  if (stat(p.assets, &st) != 0) {
    log_error("资源目录 %s 不可用: %s\n", p.assets, strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    log_error("资源目录 %s 不可用: %s\n", p.assets, strerror(ENOTDIR));
    return false;
  }
  return true;
}
