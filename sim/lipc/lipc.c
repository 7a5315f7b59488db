/* Stand-in for the device's LIPC client library: the four calls the
 * framework impersonation makes and the three the device services make, each
 * recorded as one line in $FOLIAN_SIM_LIPC_DIR/lipc.log.
 *
 * The power daemon's integer properties are files: com.lab126.powerd's
 * property P is $FOLIAN_SIM_LIPC_DIR/powerd/P holding a decimal number, and
 * a property without its file does not exist (reads and writes fail, as on
 * a reader without that hardware).  A test sets them by writing the files.
 * $FOLIAN_SIM_LIPC_DIR/powerd.delay_ms, when it exists, holds how long each
 * property call takes: a slow daemon.
 *
 * Built under both of the library's names (SIM_LIPC_NAME tells which one was
 * loaded), and once without LipcClose to stand for an incompatible library.
 *
 * Behaviour set by the environment, read at every call:
 *   FOLIAN_SIM_LIPC_REFUSE_SERVICE  set: LipcOpen returns NULL (name taken)
 *   FOLIAN_SIM_LIPC_REFUSE_PROPERTY a code: LipcRegisterIntProperty returns it
 *   FOLIAN_SIM_LIPC_REFUSE_SET      a code: LipcSetStringProperty returns it
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int (*sim_lipc_getter)(void* lipc, const char* property, void* value, void* data);
typedef int (*sim_lipc_setter)(void* lipc, const char* property, void* value, void* data);

struct sim_lipc {
  unsigned magic;
  char service[128];
};

#define SIM_LIPC_MAGIC 0x4c495043u

/* Handles are opened from more than one thread (the framework impersonation
 * on the main thread, the device services on their worker). */
static struct sim_lipc handles[4];
static pthread_mutex_t handles_lock = PTHREAD_MUTEX_INITIALIZER;

__attribute__((format(printf, 1, 2))) static void record(const char* fmt, ...) {
  const char* dir = getenv("FOLIAN_SIM_LIPC_DIR");
  if (dir == NULL || dir[0] == '\0') return;
  char path[4096];
  snprintf(path, sizeof path, "%s/lipc.log", dir);
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char line[1024];
  int n = snprintf(line, sizeof line, "%lld.%09ld ", (long long)ts.tv_sec, (long)ts.tv_nsec);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + n, sizeof line - (size_t)n, fmt, ap);
  va_end(ap);
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t w = write(fd, line, strlen(line));
  (void)w;
  close(fd);
}

static int env_code(const char* name) {
  const char* v = getenv(name);
  return v && v[0] ? atoi(v) : 0;
}

static int valid(void* lipc) {
  struct sim_lipc* h = lipc;
  return h != NULL && h->magic == SIM_LIPC_MAGIC;
}

__attribute__((constructor)) static void sim_lipc_loaded(void) {
  record("load %s\n", SIM_LIPC_NAME);
}

static void* open_handle(const char* service) {
  if (getenv("FOLIAN_SIM_LIPC_REFUSE_SERVICE") != NULL) {
    record("open %s refused\n", service);
    return NULL;
  }
  for (size_t i = 0; i < sizeof handles / sizeof handles[0]; i++) {
    if (handles[i].magic == SIM_LIPC_MAGIC) continue;
    handles[i].magic = SIM_LIPC_MAGIC;
    snprintf(handles[i].service, sizeof handles[i].service, "%s", service);
    record("open %s\n", service);
    return &handles[i];
  }
  record("open %s no-room\n", service);
  return NULL;
}

void* LipcOpen(const char* service) {
  pthread_mutex_lock(&handles_lock);
  void* h = open_handle(service);
  pthread_mutex_unlock(&handles_lock);
  return h;
}

int LipcRegisterIntProperty(void* lipc, const char* property, sim_lipc_getter getter,
                            sim_lipc_setter setter, void* data) {
  if (!valid(lipc)) {
    record("register %s bad-handle\n", property);
    return 1;
  }
  int code = env_code("FOLIAN_SIM_LIPC_REFUSE_PROPERTY");
  if (code != 0) {
    record("register %s refused %d\n", property, code);
    return code;
  }
  /* Read the property once, as a client on the bus would. */
  int value = -1;
  int got = getter ? getter(lipc, property, &value, data) : -1;
  record("register %s get=%d value=%d setter=%s data=%s\n", property, got, value,
         setter ? "set" : "null", data ? "set" : "null");
  return 0;
}

int LipcSetStringProperty(void* lipc, const char* service, const char* property,
                          const char* value) {
  if (!valid(lipc)) {
    record("set %s %s %s bad-handle\n", service, property, value);
    return 1;
  }
  int code = env_code("FOLIAN_SIM_LIPC_REFUSE_SET");
  if (code != 0) {
    record("set %s %s %s refused %d\n", service, property, value, code);
    return code;
  }
  record("set %s %s %s\n", service, property, value);
  return 0;
}

static void property_path(char* out, size_t size, const char* property) {
  const char* dir = getenv("FOLIAN_SIM_LIPC_DIR");
  snprintf(out, size, "%s/powerd/%s", dir ? dir : ".", property);
}

static void daemon_delay(void) {
  const char* dir = getenv("FOLIAN_SIM_LIPC_DIR");
  char path[4096];
  snprintf(path, sizeof path, "%s/powerd.delay_ms", dir ? dir : ".");
  FILE* f = fopen(path, "r");
  if (f == NULL) return;
  long ms = 0;
  if (fscanf(f, "%ld", &ms) != 1) ms = 0;
  fclose(f);
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

void* LipcOpenNoName(void) { return LipcOpen("(no name)"); }

int LipcGetIntProperty(void* lipc, const char* service, const char* property, int* value) {
  if (!valid(lipc)) return 1;
  daemon_delay();
  char path[4096];
  property_path(path, sizeof path, property);
  FILE* f = strcmp(service, "com.lab126.powerd") == 0 ? fopen(path, "r") : NULL;
  int ok = f != NULL && fscanf(f, "%d", value) == 1;
  if (f != NULL) fclose(f);
  record("get %s %s %s\n", service, property, ok ? "ok" : "missing");
  return ok ? 0 : 2;
}

int LipcSetIntProperty(void* lipc, const char* service, const char* property, int value) {
  if (!valid(lipc)) return 1;
  daemon_delay();
  char path[4096];
  property_path(path, sizeof path, property);
  /* Only a property that exists can be set. */
  int ok = strcmp(service, "com.lab126.powerd") == 0 && access(path, F_OK) == 0;
  FILE* f = ok ? fopen(path, "w") : NULL;
  ok = f != NULL && fprintf(f, "%d\n", value) > 0;
  if (f != NULL) fclose(f);
  record("setint %s %s %d %s\n", service, property, value, ok ? "ok" : "missing");
  return ok ? 0 : 2;
}

#ifndef SIM_LIPC_NO_CLOSE
void LipcClose(void* lipc) {
  if (!valid(lipc)) {
    record("close bad-handle\n");
    return;
  }
  struct sim_lipc* h = lipc;
  record("close %s\n", h->service);
  pthread_mutex_lock(&handles_lock);
  h->magic = 0;
  pthread_mutex_unlock(&handles_lock);
}
#endif
