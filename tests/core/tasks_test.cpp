#include "tasks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "fake_engine.h"

namespace {

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kStart = 5000 * kMs;

FlutterTask task_with_id(uint64_t id) {
  FlutterTask t{};
  t.runner = reinterpret_cast<FlutterTaskRunner>(0x42);
  t.task = id;
  return t;
}

std::vector<uint64_t> ids_run() {
  std::vector<uint64_t> ids;
  for (const FlutterTask& t : fake::tasks_run()) ids.push_back(t.task);
  return ids;
}

// Runs whatever is queued, so that a test starts from an empty queue at `now`.
void drain(uint64_t now) {
  fake::reset(UINT64_MAX);
  tasks_run_due(fake::engine());
  tasks_drain_wakeup();
  fake::reset(now);
}

class TasksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { wake_fd_ = tasks_init(); }
  void SetUp() override {
    ASSERT_GE(wake_fd_, 0);
    drain(kStart);
  }
  static int wake_fd_;
};
int TasksTest::wake_fd_ = -1;

// Pairs of tasks with the same target, posted latest first so that every
// insertion sifts to the root, well past the first 64.
TEST_F(TasksTest, RunsByTargetTimeAndTiesInPostingOrder) {
  for (uint64_t id = 0; id < 200; id++) post_task(task_with_id(id), kStart + (100 - id / 2) * kMs, nullptr);
  fake::set_time(kStart + 50 * kMs);
  tasks_run_due(nullptr);
  EXPECT_TRUE(fake::tasks_run().empty()) << "no engine, nothing run";
  std::vector<uint64_t> want;
  for (uint64_t pair = 100; pair-- > 50;) want.insert(want.end(), {2 * pair, 2 * pair + 1});
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), want);
  for (uint64_t pair = 50; pair-- > 0;) want.insert(want.end(), {2 * pair, 2 * pair + 1});
  fake::set_time(kStart + 100 * kMs);
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), want);
  EXPECT_EQ(tasks_next_timeout_ms(), -1);
}

TEST_F(TasksTest, DeadlineRoundsUpToMillisecondsAndIsCappedAtOneMinute) {
  struct Row {
    uint64_t now, target;
    int expect;
  } rows[] = {
      {kStart, kStart + 1, 1},                   // 1 ns
      {kStart, kStart + 2 * kMs, 2},             // exactly 2 ms
      {kStart, kStart + 2 * kMs + 1, 3},
      {kStart, kStart, 0},
      {kStart + 10 * kMs, kStart, 0},            // in the past: due now
      {kStart, kStart + 90000 * kMs, 60000},
      {kStart, UINT64_MAX - 5, 60000},           // must not wrap into a busy loop
      {0, UINT64_MAX, 60000},
  };
  EXPECT_EQ(tasks_next_timeout_ms(), -1);
  for (const Row& r : rows) {
    drain(r.now);
    post_task(task_with_id(1), r.target, nullptr);
    EXPECT_EQ(tasks_next_timeout_ms(), r.expect) << r.now << " " << r.target;
  }
}

// Tasks that post tasks: a task already due at the moment the run began joins
// the same run; a later one waits for the next.
void post_followers(const FlutterTask* t) {
  if (t->task == 1) {
    post_task(task_with_id(10), kStart, nullptr);             // due: same run
    post_task(task_with_id(11), kStart + 5 * kMs, nullptr);   // later run
  }
}

TEST_F(TasksTest, TaskPostingTasksInsideARun) {
  fake::on_run_task(post_followers);
  post_task(task_with_id(1), kStart, nullptr);
  post_task(task_with_id(2), kStart, nullptr);
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), (std::vector<uint64_t>{1, 2, 10}));
  EXPECT_EQ(tasks_next_timeout_ms(), 5);
  fake::set_time(kStart + 5 * kMs);
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), (std::vector<uint64_t>{1, 2, 10, 11}));
}

TEST_F(TasksTest, PostingWakesTheLoop) {
  unsigned char b;
  EXPECT_LT(read(wake_fd_, &b, 1), 0);  // empty and non-blocking
  post_task(task_with_id(1), kStart, nullptr);
  EXPECT_EQ(read(wake_fd_, &b, 1), 1);
  tasks_wakeup();
  tasks_wakeup();
  tasks_drain_wakeup();
  EXPECT_LT(read(wake_fd_, &b, 1), 0);
}

TEST_F(TasksTest, ManyThreadsPostingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 2000;  // enough to overflow the wake pipe too
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      for (uint64_t i = 0; i < kPerThread; i++)
        post_task(task_with_id(t * kPerThread + i), kStart + (i % 7) * kMs, nullptr);
    });
  }
  // Run concurrently with the posting, as the main loop does.
  fake::set_time(kStart + 10 * kMs);
  for (int i = 0; i < 50; i++) tasks_run_due(fake::engine());
  for (std::thread& th : threads) th.join();
  tasks_run_due(fake::engine());
  std::vector<uint64_t> ids = ids_run();
  ASSERT_EQ(ids.size(), kThreads * kPerThread);
  std::set<uint64_t> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), ids.size());
  EXPECT_LT(*distinct.rbegin(), kThreads * kPerThread);
  // Each thread's tasks with equal targets ran in the order it posted them.
  std::vector<int64_t> last(kThreads * 7, -1);
  for (uint64_t id : ids) {
    int64_t& before = last[id / kPerThread * 7 + id % kPerThread % 7];
    EXPECT_GT((int64_t)id, before);
    before = (int64_t)id;
  }
  tasks_drain_wakeup();
}

}  // namespace
