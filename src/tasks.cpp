#include "tasks.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "engine.h"
#include "log.h"

namespace {

struct PendingTask {
  FlutterTask task;
  uint64_t target_time;
  uint64_t seq;
};

// The heap, its size and the sequence counter are shared with the engine's
// threads through post_task; everything else belongs to the main thread.
PendingTask* g_heap = nullptr;
uint32_t g_count = 0;
uint32_t g_capacity = 0;
uint64_t g_seq = 0;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
int g_wake_pipe[2] = {-1, -1};
pthread_t g_platform_thread;
FlutterTaskRunnerDescription g_desc;

constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kMaxWaitNs = 60000 * kNsPerMs;

bool comes_before(const PendingTask& a, const PendingTask& b) {
  if (a.target_time != b.target_time) return a.target_time < b.target_time;
  return a.seq < b.seq;
}

void swap_entries(uint32_t i, uint32_t j) {
  PendingTask t = g_heap[i];
  g_heap[i] = g_heap[j];
  g_heap[j] = t;
}

void sift_up(uint32_t i) {
  while (i > 0) {
    uint32_t parent = (i - 1) / 2;
    if (!comes_before(g_heap[i], g_heap[parent])) break;
    swap_entries(i, parent);
    i = parent;
  }
}

void sift_down(uint32_t i) {
  for (;;) {
    uint32_t pick = i;
    uint32_t left = 2 * i + 1;
    uint32_t right = 2 * i + 2;
    if (left < g_count && comes_before(g_heap[left], g_heap[pick])) pick = left;
    if (right < g_count && comes_before(g_heap[right], g_heap[pick])) pick = right;
    if (pick == i) return;
    swap_entries(i, pick);
    i = pick;
  }
}

PendingTask pop_root() {
  PendingTask root = g_heap[0];
  g_count--;
  if (g_count > 0) {
    g_heap[0] = g_heap[g_count];
    sift_down(0);
  }
  return root;
}

void write_wake_byte() {
  const unsigned char one = 1;
  // A full pipe already guarantees a wake-up, so a failed write loses nothing.
  ssize_t ignored = write(g_wake_pipe[1], &one, 1);
  (void)ignored;
}

}  // namespace

int tasks_init() {
  g_platform_thread = pthread_self();
  if (pipe(g_wake_pipe) != 0) {
    log_error("创建唤醒管道失败: %s\n", strerror(errno));
    return -1;
  }
  for (int fd : g_wake_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  g_desc = FlutterTaskRunnerDescription{};
  g_desc.struct_size = sizeof(FlutterTaskRunnerDescription);
  g_desc.user_data = nullptr;
  g_desc.runs_task_on_current_thread_callback = runs_on_current_thread;
  g_desc.post_task_callback = post_task;
  g_desc.identifier = 1;
  g_desc.destruction_callback = nullptr;
  return g_wake_pipe[0];
}

const FlutterTaskRunnerDescription* tasks_runner_description() { return &g_desc; }

bool runs_on_current_thread(void*) { return pthread_equal(pthread_self(), g_platform_thread) != 0; }

void post_task(FlutterTask task, uint64_t target_time, void*) {
  pthread_mutex_lock(&g_lock);
  PendingTask entry{task, target_time, g_seq++};
  if (g_count == g_capacity) {
    uint32_t grown = g_capacity == 0 ? 64 : g_count * 2;
    void* heap = realloc(g_heap, sizeof(PendingTask) * grown);
    if (!heap) abort();
    g_heap = static_cast<PendingTask*>(heap);
    g_capacity = grown;
  }
  g_heap[g_count] = entry;
  sift_up(g_count);
  g_count++;
  pthread_mutex_unlock(&g_lock);
  write_wake_byte();
}

void tasks_run_due(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (!engine) return;
  // One reading of the clock for the whole call: tasks posted while we run
  // join in only if they were already due at this moment, so a task that
  // keeps re-posting itself cannot hold the loop here forever.
  const uint64_t now = engine_api().GetCurrentTime();
  pthread_mutex_lock(&g_lock);
  while (g_count > 0 && g_heap[0].target_time <= now) {
    PendingTask due = pop_root();
    // Never hold the lock while the engine runs a task: the task may post
    // further tasks, and engine threads must never wait for us.
    pthread_mutex_unlock(&g_lock);
    engine_api().RunTask(engine, &due.task);
    pthread_mutex_lock(&g_lock);
  }
  pthread_mutex_unlock(&g_lock);
}

int tasks_next_timeout_ms() {
  pthread_mutex_lock(&g_lock);
  int result;
  if (g_count == 0) {
    result = -1;
  } else {
    const uint64_t now = engine_api().GetCurrentTime();
    const uint64_t target = g_heap[0].target_time;
    if (target <= now) {
      result = 0;
    } else {
      // Cap before rounding up: a target near the top of the 64-bit range
      // must not wrap into a tiny timeout and a busy loop.
      uint64_t d = target - now;
      if (d > kMaxWaitNs) d = kMaxWaitNs;
      result = (int)((d + kNsPerMs - 1) / kNsPerMs);
    }
  }
  pthread_mutex_unlock(&g_lock);
  return result;
}

void tasks_drain_wakeup() {
  unsigned char buf[64];
  while (read(g_wake_pipe[0], buf, sizeof buf) > 0) {
  }
}

void tasks_wakeup() { write_wake_byte(); }
