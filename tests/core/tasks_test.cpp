#include "tasks.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

class TasksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { wake_fd_ = tasks_init(); }
  void SetUp() override {
    ASSERT_GE(wake_fd_, 0);
    // Leave nothing behind from an earlier test: run whatever is queued.
    fake::reset(UINT64_MAX);
    tasks_run_due(fake::engine());
    tasks_drain_wakeup();
    fake::reset(kStart);
  }
  static int wake_fd_;
};
int TasksTest::wake_fd_ = -1;

TEST_F(TasksTest, DescriptionNamesOurCallbacksAndIsThePlatformThread) {
  const FlutterTaskRunnerDescription* d = tasks_runner_description();
  EXPECT_EQ(d->struct_size, sizeof(FlutterTaskRunnerDescription));
  EXPECT_EQ(d->identifier, 1u);
  EXPECT_EQ(d->post_task_callback, &post_task);
  EXPECT_EQ(d->runs_task_on_current_thread_callback, &runs_on_current_thread);
  EXPECT_EQ(d->destruction_callback, nullptr);
  EXPECT_TRUE(runs_on_current_thread(nullptr));
  bool elsewhere = true;
  std::thread([&] { elsewhere = runs_on_current_thread(nullptr); }).join();
  EXPECT_FALSE(elsewhere);
}

TEST_F(TasksTest, RunsByTargetTimeAndTiesInPostingOrder) {
  post_task(task_with_id(1), kStart + 30 * kMs, nullptr);
  post_task(task_with_id(2), kStart + 10 * kMs, nullptr);
  post_task(task_with_id(3), kStart + 30 * kMs, nullptr);
  post_task(task_with_id(4), kStart + 10 * kMs, nullptr);
  post_task(task_with_id(5), kStart + 20 * kMs, nullptr);
  post_task(task_with_id(6), kStart + 10 * kMs, nullptr);
  fake::set_time(kStart + 10 * kMs);
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), (std::vector<uint64_t>{2, 4, 6}));
  fake::set_time(kStart + 30 * kMs);
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run(), (std::vector<uint64_t>{2, 4, 6, 5, 1, 3}));
  EXPECT_EQ(tasks_next_timeout_ms(), -1);
}

TEST_F(TasksTest, DeadlineRoundsUpAndIsCappedAtOneMinute) {
  EXPECT_EQ(tasks_next_timeout_ms(), -1);
  post_task(task_with_id(1), kStart + 1, nullptr);
  EXPECT_EQ(tasks_next_timeout_ms(), 1);
  fake::set_time(kStart - 2 * kMs + 1);
  EXPECT_EQ(tasks_next_timeout_ms(), 2);
  fake::set_time(kStart - 2 * kMs);
  EXPECT_EQ(tasks_next_timeout_ms(), 3);  // 2 ms and 1 ns away
  fake::set_time(kStart + 1);
  EXPECT_EQ(tasks_next_timeout_ms(), 0);
  fake::set_time(kStart + 10 * kMs);
  EXPECT_EQ(tasks_next_timeout_ms(), 0);  // in the past: due now
  tasks_run_due(fake::engine());
  EXPECT_EQ(ids_run().size(), 1u);

  post_task(task_with_id(2), kStart + 10 * kMs + 90000 * kMs, nullptr);
  EXPECT_EQ(tasks_next_timeout_ms(), 60000);
}

TEST_F(TasksTest, TargetNearTheEndOfTimeDoesNotWrapIntoABusyLoop) {
  post_task(task_with_id(1), UINT64_MAX - 5, nullptr);
  EXPECT_EQ(tasks_next_timeout_ms(), 60000);
  fake::set_time(0);
  EXPECT_EQ(tasks_next_timeout_ms(), 60000);
}

TEST_F(TasksTest, TaskDueExactlyTwoMillisecondsAwayGivesTwo) {
  post_task(task_with_id(1), kStart + 2 * kMs, nullptr);
  EXPECT_EQ(tasks_next_timeout_ms(), 2);
}

TEST_F(TasksTest, NullEngineRunsNothing) {
  post_task(task_with_id(1), kStart, nullptr);
  tasks_run_due(nullptr);
  EXPECT_TRUE(fake::tasks_run().empty());
  EXPECT_EQ(tasks_next_timeout_ms(), 0);
}

TEST_F(TasksTest, GrowsPastSixtyFourAndKeepsOrder) {
  // Posted in descending target order so that every insertion sifts to the root.
  const uint64_t n = 200;
  for (uint64_t i = 0; i < n; i++) post_task(task_with_id(i), kStart + (n - i) * kMs, nullptr);
  fake::set_time(kStart + (n + 1) * kMs);
  tasks_run_due(fake::engine());
  std::vector<uint64_t> ids = ids_run();
  ASSERT_EQ(ids.size(), n);
  for (uint64_t i = 0; i < n; i++) EXPECT_EQ(ids[i], n - 1 - i);
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
  tasks_drain_wakeup();
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
  std::vector<bool> seen(kThreads * kPerThread, false);
  for (uint64_t id : ids) {
    ASSERT_LT(id, seen.size());
    EXPECT_FALSE(seen[id]);
    seen[id] = true;
  }
  // Each thread's tasks with equal targets ran in the order it posted them.
  for (int t = 0; t < kThreads; t++) {
    std::vector<uint64_t> last(7, 0);
    std::vector<bool> any(7, false);
    for (uint64_t id : ids) {
      if (id / kPerThread != (uint64_t)t) continue;
      uint64_t bucket = (id % kPerThread) % 7;
      if (any[bucket]) {
        EXPECT_GT(id, last[bucket]);
      }
      any[bucket] = true;
      last[bucket] = id;
    }
  }
  tasks_drain_wakeup();
}

}  // namespace
