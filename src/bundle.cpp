#include "bundle.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "platform.h"
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
  if (!put(p->dir, "%s", option ? option : exe_dir) ||
      !put(p->assets, "%s/data/flutter_assets", p->dir) ||
      !put(p->icu, "%s/data/icudtl.dat", p->dir) || !put(p->app, "%s/lib/libapp.so", p->dir) ||
      !put(p->kernel, "%s/kernel_blob.bin", p->assets) ||
      !put(p->manifest, "%s/bundle.json", p->dir))
    return false;
  // The bundle's engine, which was packed with its app.  Started through a
  // C runtime the bundle carries, the process's executable is that
  // runtime's loader, and the bundle is named; a bundle of the app alone (on
  // the desktop) runs with the engine beside the executable.
  const char* engine = setting_text("FOLIAN_ENGINE");
  if (engine && *engine) return put(p->engine, "%s", engine);
  if (!put(p->engine, "%s/lib/libflutter_engine.so", p->dir)) return false;
  return access(p->engine, F_OK) == 0 || put(p->engine, "%s/lib/libflutter_engine.so", exe_dir);
}

bool bundle_usable(const BundlePaths& p, bool tell_ok) {
  bool usable = true;
  int fd = open(p.icu, O_RDONLY | O_CLOEXEC);
  struct stat st;
  int err = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
  if (fd >= 0) close(fd);
  if (err) {
    log_error("读不了 ICU 数据 %s: %s\n", p.icu, strerror(err));
    usable = false;
  } else if (tell_ok) {
    log_info("ICU 数据 %s 可读\n", p.icu);
  }
  err = stat(p.assets, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (err) {
    log_error("资源目录 %s 不可用: %s\n", p.assets, strerror(err));
    usable = false;
  } else if (tell_ok) {
    log_info("资源目录 %s 可用\n", p.assets);
  }
  return usable;
}

void bundle_log_manifest(const BundlePaths& p) {
  int fd = open(p.manifest, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) log_info("包清单 %s 读不了（%s），略过\n", p.manifest, strerror(errno));
    return;
  }
  // A manifest is a few hundred bytes; more is not one the tool wrote.
  uint8_t text[16384];
  ssize_t n = read(fd, text, sizeof text);
  close(fd);
  char* folian = n > 0 ? json_string_field(text, text + n, "folian") : nullptr;
  if (!folian) {
    log_info("包清单 %s 读不懂，略过\n", p.manifest);
    return;
  }
  // Each value as written, "?" where the tool did not know it (null).
  static const char* const kKeys[] = {"engine_release", "engine_hash", "app_release",
                                      "app_hash",       "mode",        "runtime"};
  char* values[6];
  for (size_t i = 0; i < 6; i++) values[i] = json_string_field(text, text + n, kKeys[i]);
  auto shown = [&](size_t i) { return values[i] ? values[i] : "?"; };
  log_info(
      "包清单：folian %s，引擎 Flutter %s（快照 %s），应用 Flutter %s（快照 %s，%s），C 库 %s\n",
      folian, shown(0), shown(1), shown(2), shown(3), shown(4), shown(5));
  free(folian);
  for (char* v : values) free(v);
}
