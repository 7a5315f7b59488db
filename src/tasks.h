// Platform task runner: the engine's platform-thread work reaches the main
// thread only through this module.
#pragma once

#include "flutter_embedder.h"

int tasks_init();
const FlutterTaskRunnerDescription* tasks_runner_description();
bool runs_on_current_thread(void* user_data);
void post_task(FlutterTask task, uint64_t target_time, void* user_data);
void tasks_run_due(FLUTTER_API_SYMBOL(FlutterEngine) engine);
int tasks_next_timeout_ms();
void tasks_drain_wakeup();
void tasks_wakeup();
