// The layout checks of our Embedder API declarations, compiled once with the
// program's modules for whichever target is being built.
#include <stddef.h>

#include "flutter_embedder.h"

// Layout checks.  The engine walks arrays and reads optional members by
// struct_size, so each size must be exactly the engine's.
#if defined(__arm__)
#define FOLIAN_ABI_CHECK(type, arm, x64) static_assert(sizeof(type) == (arm), #type " size")
#define FOLIAN_OFF_CHECK(type, field, arm, x64) \
  static_assert(offsetof(type, field) == (arm), #type "." #field " offset")
#elif defined(__x86_64__)
#define FOLIAN_ABI_CHECK(type, arm, x64) static_assert(sizeof(type) == (x64), #type " size")
#define FOLIAN_OFF_CHECK(type, field, arm, x64) \
  static_assert(offsetof(type, field) == (x64), #type "." #field " offset")
#else
#error "folian knows the engine layout only for 32-bit ARM and x86-64"
#endif

FOLIAN_ABI_CHECK(FlutterSoftwareRendererConfig, 8, 16);
FOLIAN_ABI_CHECK(FlutterTaskRunnerDescription, 24, 48);
FOLIAN_ABI_CHECK(FlutterCustomTaskRunners, 20, 40);
FOLIAN_ABI_CHECK(FlutterProjectArgs, 176, 320);
FOLIAN_ABI_CHECK(FlutterEngineDisplay, 48, 56);
FOLIAN_ABI_CHECK(FlutterWindowMetricsEvent, 104, 136);
FOLIAN_ABI_CHECK(FlutterLocale, 20, 40);
FOLIAN_ABI_CHECK(FlutterPlatformMessage, 20, 40);
FOLIAN_ABI_CHECK(FlutterPointerEvent, 136, 144);
FOLIAN_ABI_CHECK(FlutterKeyEvent, 56, 56);
FOLIAN_ABI_CHECK(FlutterTask, 16, 16);
FOLIAN_ABI_CHECK(FlutterRendererConfig, 60, 120);
FOLIAN_ABI_CHECK(FlutterEngineAOTDataSource, 8, 16);

FOLIAN_OFF_CHECK(FlutterRendererConfig, software, 4, 8);
FOLIAN_OFF_CHECK(FlutterTaskRunnerDescription, post_task_callback, 12, 24);
FOLIAN_OFF_CHECK(FlutterTaskRunnerDescription, identifier, 16, 32);
FOLIAN_OFF_CHECK(FlutterTaskRunnerDescription, destruction_callback, 20, 40);
FOLIAN_OFF_CHECK(FlutterCustomTaskRunners, platform_task_runner, 4, 8);
FOLIAN_OFF_CHECK(FlutterCustomTaskRunners, ui_task_runner, 16, 32);
FOLIAN_OFF_CHECK(FlutterProjectArgs, icu_data_path, 16, 32);
FOLIAN_OFF_CHECK(FlutterProjectArgs, command_line_argc, 20, 40);
FOLIAN_OFF_CHECK(FlutterProjectArgs, platform_message_callback, 28, 56);
FOLIAN_OFF_CHECK(FlutterProjectArgs, is_persistent_cache_read_only, 80, 160);
FOLIAN_OFF_CHECK(FlutterProjectArgs, vsync_callback, 84, 168);
FOLIAN_OFF_CHECK(FlutterProjectArgs, custom_task_runners, 92, 184);
FOLIAN_OFF_CHECK(FlutterProjectArgs, shutdown_dart_vm_when_done, 96, 192);
FOLIAN_OFF_CHECK(FlutterProjectArgs, compositor, 100, 200);
FOLIAN_OFF_CHECK(FlutterProjectArgs, dart_old_gen_heap_size, 104, 208);
FOLIAN_OFF_CHECK(FlutterProjectArgs, aot_data, 112, 216);
FOLIAN_OFF_CHECK(FlutterProjectArgs, dart_entrypoint_argc, 120, 232);
FOLIAN_OFF_CHECK(FlutterProjectArgs, log_message_callback, 128, 248);
FOLIAN_OFF_CHECK(FlutterProjectArgs, log_tag, 132, 256);
FOLIAN_OFF_CHECK(FlutterProjectArgs, view_focus_change_request_callback, 152, 296);
FOLIAN_OFF_CHECK(FlutterProjectArgs, engine_id, 160, 304);
FOLIAN_OFF_CHECK(FlutterProjectArgs, enable_wide_gamut, 168, 312);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, display_id, 8, 8);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, single_display, 16, 16);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, refresh_rate, 24, 24);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, width, 32, 32);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, height, 36, 40);
FOLIAN_OFF_CHECK(FlutterEngineDisplay, device_pixel_ratio, 40, 48);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, pixel_ratio, 16, 24);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, left, 24, 32);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, physical_view_inset_top, 32, 48);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, display_id, 64, 80);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, view_id, 72, 88);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, has_constraints, 80, 96);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, min_width_constraint, 84, 104);
FOLIAN_OFF_CHECK(FlutterWindowMetricsEvent, max_height_constraint, 96, 128);
FOLIAN_OFF_CHECK(FlutterPlatformMessage, message_size, 12, 24);
FOLIAN_OFF_CHECK(FlutterPlatformMessage, response_handle, 16, 32);
FOLIAN_OFF_CHECK(FlutterTask, task, 8, 8);
FOLIAN_OFF_CHECK(FlutterPointerEvent, timestamp, 8, 16);
FOLIAN_OFF_CHECK(FlutterPointerEvent, x, 16, 24);
FOLIAN_OFF_CHECK(FlutterPointerEvent, device, 32, 40);
FOLIAN_OFF_CHECK(FlutterPointerEvent, signal_kind, 36, 44);
FOLIAN_OFF_CHECK(FlutterPointerEvent, device_kind, 56, 64);
FOLIAN_OFF_CHECK(FlutterPointerEvent, buttons, 64, 72);
FOLIAN_OFF_CHECK(FlutterPointerEvent, view_id, 104, 112);
FOLIAN_OFF_CHECK(FlutterPointerEvent, pressure, 112, 120);
FOLIAN_OFF_CHECK(FlutterPointerEvent, pressure_max, 128, 136);
FOLIAN_OFF_CHECK(FlutterKeyEvent, timestamp, 8, 8);
FOLIAN_OFF_CHECK(FlutterKeyEvent, type, 16, 16);
FOLIAN_OFF_CHECK(FlutterKeyEvent, physical, 24, 24);
FOLIAN_OFF_CHECK(FlutterKeyEvent, logical, 32, 32);
FOLIAN_OFF_CHECK(FlutterKeyEvent, character, 40, 40);
FOLIAN_OFF_CHECK(FlutterKeyEvent, synthesized, 44, 48);
FOLIAN_OFF_CHECK(FlutterKeyEvent, device_type, 48, 52);
FOLIAN_OFF_CHECK(FlutterEngineAOTDataSource, elf_path, 4, 8);
FOLIAN_ABI_CHECK(FlutterSoftwareBackingStore2, 28, 56);
FOLIAN_ABI_CHECK(FlutterBackingStore, 56, 80);
FOLIAN_ABI_CHECK(FlutterBackingStoreConfig, 32, 32);
FOLIAN_ABI_CHECK(FlutterLayer, 64, 72);
FOLIAN_ABI_CHECK(FlutterBackingStorePresentInfo, 8, 16);
FOLIAN_ABI_CHECK(FlutterRegion, 12, 24);
FOLIAN_ABI_CHECK(FlutterCompositor, 28, 56);
FOLIAN_ABI_CHECK(FlutterPresentViewInfo, 32, 40);
FOLIAN_OFF_CHECK(FlutterSoftwareBackingStore2, row_bytes, 8, 16);
FOLIAN_OFF_CHECK(FlutterSoftwareBackingStore2, destruction_callback, 20, 40);
FOLIAN_OFF_CHECK(FlutterSoftwareBackingStore2, pixel_format, 24, 48);
FOLIAN_OFF_CHECK(FlutterBackingStore, type, 8, 16);
FOLIAN_OFF_CHECK(FlutterBackingStore, did_update, 12, 20);
FOLIAN_OFF_CHECK(FlutterBackingStore, software2, 16, 24);
FOLIAN_OFF_CHECK(FlutterBackingStoreConfig, size, 8, 8);
FOLIAN_OFF_CHECK(FlutterBackingStoreConfig, view_id, 24, 24);
FOLIAN_OFF_CHECK(FlutterLayer, type, 4, 8);
FOLIAN_OFF_CHECK(FlutterLayer, backing_store, 8, 16);
FOLIAN_OFF_CHECK(FlutterLayer, offset, 16, 24);
FOLIAN_OFF_CHECK(FlutterLayer, size, 32, 40);
FOLIAN_OFF_CHECK(FlutterLayer, backing_store_present_info, 48, 56);
FOLIAN_OFF_CHECK(FlutterLayer, presentation_time, 56, 64);
FOLIAN_OFF_CHECK(FlutterCompositor, create_backing_store_callback, 8, 16);
FOLIAN_OFF_CHECK(FlutterCompositor, collect_backing_store_callback, 12, 24);
FOLIAN_OFF_CHECK(FlutterCompositor, present_layers_callback, 16, 32);
FOLIAN_OFF_CHECK(FlutterCompositor, avoid_backing_store_cache, 20, 40);
FOLIAN_OFF_CHECK(FlutterCompositor, present_view_callback, 24, 48);
FOLIAN_OFF_CHECK(FlutterPresentViewInfo, layers, 16, 16);
FOLIAN_OFF_CHECK(FlutterPresentViewInfo, layers_count, 20, 24);
FOLIAN_ABI_CHECK(FlutterEngineProcTable, 164, 328);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, SendPointerEvent, 36, 72);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, SendKeyEvent, 40, 80);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, SendPlatformMessage, 44, 88);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, UpdateAccessibilityFeatures, 76, 152);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, GetCurrentTime, 108, 216);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, NotifyDisplayUpdate, 136, 272);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, ScheduleFrame, 140, 280);
FOLIAN_OFF_CHECK(FlutterEngineProcTable, SendSemanticsAction, 160, 320);

#undef FOLIAN_ABI_CHECK
#undef FOLIAN_OFF_CHECK
