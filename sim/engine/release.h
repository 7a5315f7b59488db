// The Flutter release the stand-in plays, chosen when it is built:
// STAND_IN_RELEASE is major * 100 + minor (200 for 2.0, 324 for 3.24),
// STAND_IN_SNAPSHOT_HASH the snapshot hash of that release's Dart VM.  An
// engine reads of each record only the members its release knows (the
// program's larger records are fine), fills only the table entries it knows,
// and exports only the functions it has.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <type_traits>

#include "flutter_embedder.h"

// Both come from the build (CMakeLists.txt), which alone names the releases.
#if !defined(STAND_IN_RELEASE) || !defined(STAND_IN_SNAPSHOT_HASH) || !defined(STAND_IN_MODE)
#error "STAND_IN_RELEASE, STAND_IN_SNAPSHOT_HASH and STAND_IN_MODE name the build this engine plays"
#endif

namespace stand_in {

constexpr int kRelease = STAND_IN_RELEASE;

// The engine's own snapshot hash, kept in the library as a string of its own
// (a NUL on both sides), where tools look for it.
const char* snapshot_hash();

// How much of a record the release knows: up to the first member it lacks.
template <typename T>
size_t known();
#define STAND_IN_UNTIL(type, member, since) \
  if (kRelease < (since)) return offsetof(type, member)

template <>
inline size_t known<FlutterProjectArgs>() {
  STAND_IN_UNTIL(FlutterProjectArgs, log_message_callback, 202);
  STAND_IN_UNTIL(FlutterProjectArgs, on_pre_engine_restart_callback, 208);
  STAND_IN_UNTIL(FlutterProjectArgs, update_semantics_callback, 307);
  STAND_IN_UNTIL(FlutterProjectArgs, update_semantics_callback2, 310);
  STAND_IN_UNTIL(FlutterProjectArgs, channel_update_callback, 316);
  STAND_IN_UNTIL(FlutterProjectArgs, view_focus_change_request_callback, 332);
  STAND_IN_UNTIL(FlutterProjectArgs, enable_wide_gamut, 344);
  return sizeof(FlutterProjectArgs);
}
template <>
inline size_t known<FlutterCustomTaskRunners>() {
  STAND_IN_UNTIL(FlutterCustomTaskRunners, thread_priority_setter, 300);
  STAND_IN_UNTIL(FlutterCustomTaskRunners, ui_task_runner, 332);
  return sizeof(FlutterCustomTaskRunners);
}
template <>
inline size_t known<FlutterTaskRunnerDescription>() {
  STAND_IN_UNTIL(FlutterTaskRunnerDescription, destruction_callback, 329);
  return sizeof(FlutterTaskRunnerDescription);
}
template <>
inline size_t known<FlutterWindowMetricsEvent>() {
  STAND_IN_UNTIL(FlutterWindowMetricsEvent, physical_view_inset_top, 205);
  STAND_IN_UNTIL(FlutterWindowMetricsEvent, display_id, 313);
  STAND_IN_UNTIL(FlutterWindowMetricsEvent, view_id, 322);
  STAND_IN_UNTIL(FlutterWindowMetricsEvent, has_constraints, 344);
  return sizeof(FlutterWindowMetricsEvent);
}
template <>
inline size_t known<FlutterEngineDisplay>() {
  STAND_IN_UNTIL(FlutterEngineDisplay, width, 313);
  return sizeof(FlutterEngineDisplay);
}
template <>
inline size_t known<FlutterPointerEvent>() {
  STAND_IN_UNTIL(FlutterPointerEvent, pan_x, 300);
  STAND_IN_UNTIL(FlutterPointerEvent, view_id, 319);
  STAND_IN_UNTIL(FlutterPointerEvent, pressure, 344);
  return sizeof(FlutterPointerEvent);
}
template <>
inline size_t known<FlutterKeyEvent>() {
  STAND_IN_UNTIL(FlutterKeyEvent, device_type, 319);
  return sizeof(FlutterKeyEvent);
}
template <>
inline size_t known<FlutterCompositor>() {
  STAND_IN_UNTIL(FlutterCompositor, present_view_callback, 322);
  return sizeof(FlutterCompositor);
}
template <>
inline size_t known<FlutterBackingStoreConfig>() {
  STAND_IN_UNTIL(FlutterBackingStoreConfig, view_id, 322);
  return sizeof(FlutterBackingStoreConfig);
}
template <>
inline size_t known<FlutterLayer>() {
  // presentation_time, after it, is taken to have come with it.
  STAND_IN_UNTIL(FlutterLayer, backing_store_present_info, 316);
  return sizeof(FlutterLayer);
}
#undef STAND_IN_UNTIL

// Software2 backing stores with their pixel formats came with 3.7.
constexpr int kSoftware2Release = 307;

// Whether the engine reads the member that ends at `end` of a record: it
// must lie within both the record the program sized and what the release
// knows of it.
template <typename T>
bool reads(const T* record, size_t end) {
  return end <= std::min(record->struct_size, known<T>());
}

}  // namespace stand_in

// A member as the engine sees it: the program's value, or the engine's
// default when the release does not read it.
#define STAND_IN_READ(record, member, fallback)                                        \
  (stand_in::reads(record, offsetof(std::remove_pointer_t<decltype(record)>, member) + \
                               sizeof((record)->member))                               \
       ? (record)->member                                                              \
       : (fallback))
