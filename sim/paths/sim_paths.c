/* Redirects the device platform's fixed tool paths to stand-ins.
 *
 * The product runs "/usr/bin/lipc-wait-event" and "/usr/bin/lipc-set-prop"
 * exactly as on the device.  When FOLIAN_SIM_LIPC_BIN names a directory,
 * every check (access family) and every start (exec family, posix_spawn) of
 * those paths is sent to the file of the same name in that directory.  A
 * redirected program starts without LD_PRELOAD: under qemu-arm the stand-in
 * tools are host programs, and an ARM preload in their environment would
 * only make the host loader complain.
 *
 * When FOLIAN_SIM_PATHS_LOG names a file, every redirected start appends
 * one line "exec <device path> <argv...>".
 *
 * When FOLIAN_SIM_SYSFS names a directory, every open (open, open64,
 * opendir) of a path under /sys/class/ is sent to the same path under that
 * directory: "/sys/class/backlight/x/brightness" becomes
 * "$FOLIAN_SIM_SYSFS/class/backlight/x/brightness", a tree the test builds.
 *
 * Works both as an LD_PRELOAD library and linked into a test executable.
 * Everything that can run between fork and exec is async-signal-safe: the
 * real functions are looked up in a constructor, buffers live on the stack.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

typedef int (*execve_fn)(const char*, char* const[], char* const[]);
typedef int (*execv_fn)(const char*, char* const[]);
typedef int (*execvpe_fn)(const char*, char* const[], char* const[]);
typedef int (*spawn_fn)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                        const posix_spawnattr_t*, char* const[], char* const[]);
typedef int (*access_fn)(const char*, int);
typedef int (*faccessat_fn)(int, const char*, int, int);
typedef int (*open_fn)(const char*, int, ...);
typedef DIR* (*opendir_fn)(const char*);

static execve_fn real_execve;
static execv_fn real_execv;
static execv_fn real_execvp;
static execvpe_fn real_execvpe;
static spawn_fn real_posix_spawn;
static spawn_fn real_posix_spawnp;
static access_fn real_access;
static access_fn real_eaccess;
static access_fn real_euidaccess;
static faccessat_fn real_faccessat;
static open_fn real_open;
static open_fn real_open64;
static opendir_fn real_opendir;

/* Looked up in a constructor, before any fork; resolve() covers callers that
 * come earlier still (another preload's constructor). */
static void resolve(void) {
  if (real_execve != NULL) return;
  real_execv = (execv_fn)dlsym(RTLD_NEXT, "execv");
  real_execvp = (execv_fn)dlsym(RTLD_NEXT, "execvp");
  real_execvpe = (execvpe_fn)dlsym(RTLD_NEXT, "execvpe");
  real_posix_spawn = (spawn_fn)dlsym(RTLD_NEXT, "posix_spawn");
  real_posix_spawnp = (spawn_fn)dlsym(RTLD_NEXT, "posix_spawnp");
  real_access = (access_fn)dlsym(RTLD_NEXT, "access");
  real_eaccess = (access_fn)dlsym(RTLD_NEXT, "eaccess");
  real_euidaccess = (access_fn)dlsym(RTLD_NEXT, "euidaccess");
  real_faccessat = (faccessat_fn)dlsym(RTLD_NEXT, "faccessat");
  real_open = (open_fn)dlsym(RTLD_NEXT, "open");
  real_open64 = (open_fn)dlsym(RTLD_NEXT, "open64");
  real_opendir = (opendir_fn)dlsym(RTLD_NEXT, "opendir");
  real_execve = (execve_fn)dlsym(RTLD_NEXT, "execve");
}

__attribute__((constructor)) static void sim_paths_init(void) { resolve(); }

static const char* const device_tools[] = {
    "/usr/bin/lipc-wait-event",
    "/usr/bin/lipc-set-prop",
    "/usr/bin/lipc-get-prop",
};

/* The stand-in for `path` written into `out`, or NULL when `path` is not
 * redirected. */
static const char* redirect(const char* path, char* out, size_t size) {
  const char* dir = getenv("FOLIAN_SIM_LIPC_BIN");
  if (path == NULL || dir == NULL || dir[0] == '\0') return NULL;
  for (size_t i = 0; i < sizeof device_tools / sizeof device_tools[0]; i++) {
    if (strcmp(path, device_tools[i]) != 0) continue;
    const char* name = strrchr(path, '/') + 1;
    size_t dl = strlen(dir), nl = strlen(name);
    if (dl + 1 + nl + 1 > size) return NULL;
    memcpy(out, dir, dl);
    out[dl] = '/';
    memcpy(out + dl + 1, name, nl + 1);
    return out;
  }
  return NULL;
}

static void append(char* line, size_t* len, size_t size, const char* s) {
  size_t n = strlen(s);
  if (*len + n >= size) n = size - 1 - *len;
  memcpy(line + *len, s, n);
  *len += n;
}

static void record(const char* path, char* const argv[]) {
  const char* log = getenv("FOLIAN_SIM_PATHS_LOG");
  if (log == NULL || log[0] == '\0') return;
  char line[1024];
  size_t len = 0;
  append(line, &len, sizeof line, "exec ");
  append(line, &len, sizeof line, path);
  for (int i = 0; argv != NULL && argv[i] != NULL; i++) {
    append(line, &len, sizeof line, " ");
    append(line, &len, sizeof line, argv[i]);
  }
  append(line, &len, sizeof line, "\n");
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t w = write(fd, line, len);
  (void)w;
  close(fd);
}

static size_t env_count(char* const envp[]) {
  size_t n = 0;
  while (envp != NULL && envp[n] != NULL) n++;
  return n;
}

/* Copies `envp` into `out` (room for env_count + 1) without LD_PRELOAD. */
static void strip_preload(char* const envp[], char** out) {
  size_t j = 0;
  for (size_t i = 0; envp != NULL && envp[i] != NULL; i++) {
    if (strncmp(envp[i], "LD_PRELOAD=", 11) == 0) continue;
    out[j++] = envp[i];
  }
  out[j] = NULL;
}

static int exec_redirected(const char* target, const char* path, char* const argv[],
                           char* const envp[]) {
  record(path, argv);
  char* env[env_count(envp) + 1];
  strip_preload(envp, env);
  return real_execve(target, argv, env);
}

int execve(const char* path, char* const argv[], char* const envp[]) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  if (target != NULL) return exec_redirected(target, path, argv, envp);
  return real_execve(path, argv, envp);
}

int execv(const char* path, char* const argv[]) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  if (target != NULL) return exec_redirected(target, path, argv, environ);
  return real_execv(path, argv);
}

int execvp(const char* file, char* const argv[]) {
  char buf[4096];
  resolve();
  const char* target = redirect(file, buf, sizeof buf);
  if (target != NULL) return exec_redirected(target, file, argv, environ);
  return real_execvp(file, argv);
}

int execvpe(const char* file, char* const argv[], char* const envp[]) {
  char buf[4096];
  resolve();
  const char* target = redirect(file, buf, sizeof buf);
  if (target != NULL) return exec_redirected(target, file, argv, envp);
  return real_execvpe(file, argv, envp);
}

static int spawn_redirected(spawn_fn real, pid_t* pid, const char* path,
                            const posix_spawn_file_actions_t* actions,
                            const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  if (target == NULL) return real(pid, path, actions, attr, argv, envp);
  record(path, argv);
  char* env[env_count(envp) + 1];
  strip_preload(envp, env);
  return real_posix_spawn(pid, target, actions, attr, argv, env);
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  return spawn_redirected(real_posix_spawn, pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  return spawn_redirected(real_posix_spawnp, pid, file, actions, attr, argv, envp);
}

int access(const char* path, int mode) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  return real_access(target ? target : path, mode);
}

int eaccess(const char* path, int mode) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  return real_eaccess(target ? target : path, mode);
}

int euidaccess(const char* path, int mode) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  return real_euidaccess(target ? target : path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
  char buf[4096];
  resolve();
  const char* target = redirect(path, buf, sizeof buf);
  return real_faccessat(dirfd, target ? target : path, mode, flags);
}

/* The stand-in sysfs tree's path for `path`, or `path` itself. */
static const char* sysfs(const char* path, char* out, size_t size) {
  static const char prefix[] = "/sys/class/";
  const char* root = getenv("FOLIAN_SIM_SYSFS");
  if (path == NULL || root == NULL || root[0] == '\0') return path;
  if (strncmp(path, prefix, sizeof prefix - 1) != 0) return path;
  size_t rl = strlen(root), pl = strlen(path + 4);
  if (rl + pl + 1 > size) return path;
  memcpy(out, root, rl);
  memcpy(out + rl, path + 4, pl + 1); /* from "/class/..." */
  return out;
}

static int open_with(open_fn real, const char* path, int flags, va_list ap) {
  char buf[4096];
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) mode = (mode_t)va_arg(ap, int);
  return real(sysfs(path, buf, sizeof buf), flags, mode);
}

int open(const char* path, int flags, ...) {
  resolve();
  va_list ap;
  va_start(ap, flags);
  int fd = open_with(real_open, path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char* path, int flags, ...) {
  resolve();
  va_list ap;
  va_start(ap, flags);
  int fd = open_with(real_open64 ? real_open64 : real_open, path, flags, ap);
  va_end(ap);
  return fd;
}

DIR* opendir(const char* path) {
  char buf[4096];
  resolve();
  return real_opendir(sysfs(path, buf, sizeof buf));
}
