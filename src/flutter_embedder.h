// Our own declarations of the subset of the Flutter Embedder C API that folian
// uses, written from the published ABI facts (field order, types, offsets).
// They must stay layout-identical to the engine's header: the engine reads
// these records by offset, and on 32-bit ARM a single misplaced 64-bit field
// shifts everything after it.  The static_asserts in flutter_embedder_abi.cpp
// pin every size and offset we rely on, for both the device (armhf) and the
// desktop (x86-64).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef FLUTTER_API_SYMBOL
#define FLUTTER_API_SYMBOL(symbol) symbol
#endif

#define FLUTTER_ENGINE_VERSION 1
// The engine headers whose records these declarations match member for
// member, as `folian --version` tells it.  Engines of earlier releases read
// the records just as well: each reads the members it knows, by struct_size.
#define FOLIAN_ENGINE_HEADERS \
  "flutter/flutter commit 904dab858c4 (2026-03-04) up to the 3.46 release candidate"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  kSuccess = 0,
  kInvalidLibraryVersion = 1,
  kInvalidArguments = 2,
  kInternalInconsistency = 3,
} FlutterEngineResult;

typedef enum {
  kOpenGL = 0,
  kSoftware = 1,
  kMetal = 2,
  kVulkan = 3,
} FlutterRendererType;

typedef enum {
  kCancel = 0,
  kUp = 1,
  kDown = 2,
  kMove = 3,
  kAdd = 4,
  kRemove = 5,
  kHover = 6,
  kPanZoomStart = 7,
  kPanZoomUpdate = 8,
  kPanZoomEnd = 9,
} FlutterPointerPhase;

typedef enum {
  kFlutterPointerDeviceKindMouse = 1,
  kFlutterPointerDeviceKindTouch = 2,
  kFlutterPointerDeviceKindStylus = 3,
  kFlutterPointerDeviceKindTrackpad = 4,
} FlutterPointerDeviceKind;

typedef enum {
  kFlutterPointerSignalKindNone = 0,
  kFlutterPointerSignalKindScroll = 1,
  kFlutterPointerSignalKindScrollInertiaCancel = 2,
  kFlutterPointerSignalKindScale = 3,
} FlutterPointerSignalKind;

typedef enum {
  kFlutterKeyEventTypeUp = 1,
  kFlutterKeyEventTypeDown = 2,
  kFlutterKeyEventTypeRepeat = 3,
} FlutterKeyEventType;

typedef enum {
  kFlutterKeyEventDeviceTypeKeyboard = 1,
  kFlutterKeyEventDeviceTypeDirectionalPad = 2,
  kFlutterKeyEventDeviceTypeGamepad = 3,
  kFlutterKeyEventDeviceTypeJoystick = 4,
  kFlutterKeyEventDeviceTypeHdmi = 5,
} FlutterKeyEventDeviceType;

typedef enum {
  kFlutterEngineAOTDataSourceTypeElfPath = 0,
} FlutterEngineAOTDataSourceType;

typedef enum {
  kFlutterEngineDisplaysUpdateTypeStartup = 0,
  kFlutterEngineDisplaysUpdateTypeCount = 1,
} FlutterEngineDisplaysUpdateType;

// A bit set of the platform's accessibility settings.
typedef enum {
  kFlutterAccessibilityFeatureAccessibleNavigation = 1 << 0,
  kFlutterAccessibilityFeatureInvertColors = 1 << 1,
  kFlutterAccessibilityFeatureDisableAnimations = 1 << 2,
  kFlutterAccessibilityFeatureBoldText = 1 << 3,
  kFlutterAccessibilityFeatureReduceMotion = 1 << 4,
  kFlutterAccessibilityFeatureHighContrast = 1 << 5,
} FlutterAccessibilityFeature;
typedef enum {
  kBackground = 0,
  kNormal = 1,
  kDisplay = 2,
  kRaster = 3,
} FlutterThreadPriority;

typedef struct _FlutterEngine* FLUTTER_API_SYMBOL(FlutterEngine);
typedef struct _FlutterEngineAOTData* FlutterEngineAOTData;
typedef struct _FlutterPlatformMessageResponseHandle FlutterPlatformMessageResponseHandle;
typedef struct _FlutterTaskRunner* FlutterTaskRunner;
typedef int64_t FlutterViewId;
typedef uint64_t FlutterEngineDisplayId;

// Types that appear only as null pointers in the records we fill.
typedef struct FlutterPlatformView FlutterPlatformView;
typedef struct FlutterSemanticsNode FlutterSemanticsNode;
typedef struct FlutterSemanticsCustomAction FlutterSemanticsCustomAction;
typedef struct FlutterSemanticsUpdate FlutterSemanticsUpdate;
typedef struct FlutterSemanticsUpdate2 FlutterSemanticsUpdate2;
typedef struct FlutterChannelUpdate FlutterChannelUpdate;
typedef struct FlutterViewFocusChangeRequest FlutterViewFocusChangeRequest;

typedef struct {
  FlutterTaskRunner runner;
  uint64_t task;
} FlutterTask;

typedef struct {
  size_t struct_size;
  const char* language_code;
  const char* country_code;
  const char* script_code;
  const char* variant_code;
} FlutterLocale;

typedef struct {
  size_t struct_size;
  const char* channel;
  const uint8_t* message;
  size_t message_size;
  const FlutterPlatformMessageResponseHandle* response_handle;
} FlutterPlatformMessage;

typedef bool (*SoftwareSurfacePresentCallback)(void* user_data, const void* allocation,
                                               size_t row_bytes, size_t height);
typedef bool (*BoolCallback)(void* user_data);
typedef void (*VoidCallback)(void* user_data);
typedef void (*FlutterTaskRunnerPostTaskCallback)(FlutterTask task, uint64_t target_time_nanos,
                                                  void* user_data);
typedef void (*FlutterPlatformMessageCallback)(const FlutterPlatformMessage* message,
                                               void* user_data);
typedef void (*FlutterLogMessageCallback)(const char* tag, const char* message, void* user_data);
typedef void (*FlutterKeyEventCallback)(bool handled, void* user_data);
typedef void (*VsyncCallback)(void* user_data, intptr_t baton);
typedef void (*OnPreEngineRestartCallback)(void* user_data);
typedef const FlutterLocale* (*FlutterComputePlatformResolvedLocaleCallback)(
    const FlutterLocale** supported_locales, size_t number_of_locales);
typedef void (*FlutterUpdateSemanticsNodeCallback)(const FlutterSemanticsNode*, void*);
typedef void (*FlutterUpdateSemanticsCustomActionCallback)(const FlutterSemanticsCustomAction*,
                                                           void*);
typedef void (*FlutterUpdateSemanticsCallback)(const FlutterSemanticsUpdate*, void*);
typedef void (*FlutterUpdateSemanticsCallback2)(const FlutterSemanticsUpdate2*, void*);
typedef void (*FlutterChannelUpdateCallback)(const FlutterChannelUpdate*, void*);
typedef void (*FlutterViewFocusChangeRequestCallback)(const FlutterViewFocusChangeRequest*, void*);

typedef struct {
  size_t struct_size;
  SoftwareSurfacePresentCallback surface_present_callback;
} FlutterSoftwareRendererConfig;

// ---- The compositor: layers drawn into memory the program hands out
//
// Software2 backing stores and their pixel formats came with 3.7 (the
// enumerators were renamed with 3.10, their values kept); the compositor
// itself is older than 2.0, present_view_callback came with 3.22.

typedef enum {
  kFlutterSoftwarePixelFormatGray8 = 0,
  kFlutterSoftwarePixelFormatRGB565 = 1,
  kFlutterSoftwarePixelFormatRGBA4444 = 2,
  kFlutterSoftwarePixelFormatRGBA8888 = 3,
  kFlutterSoftwarePixelFormatRGBX8888 = 4,
  kFlutterSoftwarePixelFormatBGRA8888 = 5,
  kFlutterSoftwarePixelFormatNative32 = 6,
} FlutterSoftwarePixelFormat;

typedef enum {
  kFlutterBackingStoreTypeOpenGL = 0,
  kFlutterBackingStoreTypeSoftware = 1,
  kFlutterBackingStoreTypeMetal = 2,
  kFlutterBackingStoreTypeVulkan = 3,
  kFlutterBackingStoreTypeSoftware2 = 4,
} FlutterBackingStoreType;

typedef enum {
  kFlutterLayerContentTypeBackingStore = 0,
  kFlutterLayerContentTypePlatformView = 1,
} FlutterLayerContentType;

typedef struct {
  double width;
  double height;
} FlutterSize;

typedef struct {
  double x;
  double y;
} FlutterPoint;

typedef struct {
  double left;
  double top;
  double right;
  double bottom;
} FlutterRect;

typedef struct {
  const void* allocation;
  size_t row_bytes;
  size_t height;
  void* user_data;
  VoidCallback destruction_callback;
} FlutterSoftwareBackingStore;

typedef struct {
  size_t struct_size;
  const void* allocation;
  size_t row_bytes;
  size_t height;
  void* user_data;
  VoidCallback destruction_callback;
  FlutterSoftwarePixelFormat pixel_format;
} FlutterSoftwareBackingStore2;

// The engine allocates this record and sets its struct_size; the program
// fills the software members only.  The array holds the place of the largest
// member (the Metal store, whose texture id is 64 bits wide and so aligns the
// union to 8 bytes on 32-bit ARM too).
typedef struct {
  size_t struct_size;
  void* user_data;
  FlutterBackingStoreType type;
  bool did_update;
  union {
    uint64_t reserved_[sizeof(void*) == 4 ? 5 : 7];
    FlutterSoftwareBackingStore software;
    FlutterSoftwareBackingStore2 software2;
  };
} FlutterBackingStore;

typedef struct {
  size_t struct_size;
  FlutterSize size;
  FlutterViewId view_id;  // 3.22 on
} FlutterBackingStoreConfig;

typedef struct {
  size_t struct_size;
  size_t rects_count;
  FlutterRect* rects;
} FlutterRegion;

typedef struct {
  size_t struct_size;
  FlutterRegion* paint_region;
} FlutterBackingStorePresentInfo;

typedef struct {
  size_t struct_size;
  FlutterLayerContentType type;
  union {
    const FlutterBackingStore* backing_store;
    const FlutterPlatformView* platform_view;
  };
  FlutterPoint offset;
  FlutterSize size;
  FlutterBackingStorePresentInfo* backing_store_present_info;  // 3.16 on
  uint64_t presentation_time;
} FlutterLayer;

typedef struct {
  size_t struct_size;
  FlutterViewId view_id;
  const FlutterLayer** layers;
  size_t layers_count;
  void* user_data;
} FlutterPresentViewInfo;

typedef bool (*FlutterBackingStoreCreateCallback)(const FlutterBackingStoreConfig* config,
                                                  FlutterBackingStore* backing_store_out,
                                                  void* user_data);
typedef bool (*FlutterBackingStoreCollectCallback)(const FlutterBackingStore* backing_store,
                                                   void* user_data);
typedef bool (*FlutterLayersPresentCallback)(const FlutterLayer** layers, size_t layers_count,
                                             void* user_data);
typedef bool (*FlutterPresentViewCallback)(const FlutterPresentViewInfo* info);

typedef struct FlutterCompositor {
  size_t struct_size;
  void* user_data;
  FlutterBackingStoreCreateCallback create_backing_store_callback;
  FlutterBackingStoreCollectCallback collect_backing_store_callback;
  FlutterLayersPresentCallback present_layers_callback;
  bool avoid_backing_store_cache;
  FlutterPresentViewCallback present_view_callback;  // 3.22 on
} FlutterCompositor;

// Only the software member is spelled out; the array reserves the space of
// the largest member (the Vulkan configuration) so the record has the
// engine's size and alignment.  The array comes first so that an empty
// initialiser zeroes the whole union, not just the software member's bytes.
typedef struct {
  FlutterRendererType type;
  union {
    void* reserved_[14];
    FlutterSoftwareRendererConfig software;
  };
} FlutterRendererConfig;

typedef struct {
  size_t struct_size;
  void* user_data;
  BoolCallback runs_task_on_current_thread_callback;
  FlutterTaskRunnerPostTaskCallback post_task_callback;
  size_t identifier;
  VoidCallback destruction_callback;
} FlutterTaskRunnerDescription;

typedef struct {
  size_t struct_size;
  const FlutterTaskRunnerDescription* platform_task_runner;
  const FlutterTaskRunnerDescription* render_task_runner;
  void (*thread_priority_setter)(FlutterThreadPriority);
  const FlutterTaskRunnerDescription* ui_task_runner;
} FlutterCustomTaskRunners;

typedef struct {
  size_t struct_size;
  const char* assets_path;
  const char* main_path__unused__;
  const char* packages_path__unused__;
  const char* icu_data_path;
  int command_line_argc;
  const char* const* command_line_argv;
  FlutterPlatformMessageCallback platform_message_callback;
  const uint8_t* vm_snapshot_data;
  size_t vm_snapshot_data_size;
  const uint8_t* vm_snapshot_instructions;
  size_t vm_snapshot_instructions_size;
  const uint8_t* isolate_snapshot_data;
  size_t isolate_snapshot_data_size;
  const uint8_t* isolate_snapshot_instructions;
  size_t isolate_snapshot_instructions_size;
  VoidCallback root_isolate_create_callback;
  FlutterUpdateSemanticsNodeCallback update_semantics_node_callback;
  FlutterUpdateSemanticsCustomActionCallback update_semantics_custom_action_callback;
  const char* persistent_cache_path;
  bool is_persistent_cache_read_only;
  VsyncCallback vsync_callback;
  const char* custom_dart_entrypoint;
  const FlutterCustomTaskRunners* custom_task_runners;
  bool shutdown_dart_vm_when_done;
  const FlutterCompositor* compositor;
  int64_t dart_old_gen_heap_size;
  FlutterEngineAOTData aot_data;
  FlutterComputePlatformResolvedLocaleCallback compute_platform_resolved_locale_callback;
  int dart_entrypoint_argc;
  const char* const* dart_entrypoint_argv;
  FlutterLogMessageCallback log_message_callback;
  const char* log_tag;
  OnPreEngineRestartCallback on_pre_engine_restart_callback;
  FlutterUpdateSemanticsCallback update_semantics_callback;
  FlutterUpdateSemanticsCallback2 update_semantics_callback2;
  FlutterChannelUpdateCallback channel_update_callback;
  FlutterViewFocusChangeRequestCallback view_focus_change_request_callback;
  int64_t engine_id;
  bool enable_wide_gamut;
} FlutterProjectArgs;

typedef struct {
  size_t struct_size;
  FlutterEngineDisplayId display_id;
  bool single_display;
  double refresh_rate;
  size_t width;
  size_t height;
  double device_pixel_ratio;
} FlutterEngineDisplay;

typedef struct {
  size_t struct_size;
  size_t width;
  size_t height;
  double pixel_ratio;
  size_t left;
  size_t top;
  double physical_view_inset_top;
  double physical_view_inset_right;
  double physical_view_inset_bottom;
  double physical_view_inset_left;
  FlutterEngineDisplayId display_id;
  int64_t view_id;
  bool has_constraints;
  size_t min_width_constraint;
  size_t min_height_constraint;
  size_t max_width_constraint;
  size_t max_height_constraint;
} FlutterWindowMetricsEvent;

typedef struct {
  size_t struct_size;
  FlutterPointerPhase phase;
  size_t timestamp;  // microseconds
  double x;
  double y;
  int32_t device;
  FlutterPointerSignalKind signal_kind;
  double scroll_delta_x;
  double scroll_delta_y;
  FlutterPointerDeviceKind device_kind;
  int64_t buttons;
  double pan_x;
  double pan_y;
  double scale;
  double rotation;
  FlutterViewId view_id;
  double pressure;
  double pressure_min;
  double pressure_max;
} FlutterPointerEvent;

typedef struct {
  size_t struct_size;
  double timestamp;  // microseconds
  FlutterKeyEventType type;
  uint64_t physical;
  uint64_t logical;
  const char* character;
  bool synthesized;
  FlutterKeyEventDeviceType device_type;
} FlutterKeyEvent;

typedef struct {
  FlutterEngineAOTDataSourceType type;
  union {
    const char* elf_path;
  };
} FlutterEngineAOTDataSource;

// The engine's functions as pointers, the way the program reaches all of
// them: FlutterEngineGetProcAddresses fills a table the caller zero-filled
// and sized, with the entries its own release knows.
typedef bool (*FlutterEngineRunsAOTCompiledDartCodeFnPtr)(void);
typedef FlutterEngineResult (*FlutterEngineCreateAOTDataFnPtr)(
    const FlutterEngineAOTDataSource* source, FlutterEngineAOTData* data_out);
typedef FlutterEngineResult (*FlutterEngineCollectAOTDataFnPtr)(FlutterEngineAOTData data);
typedef FlutterEngineResult (*FlutterEngineRunFnPtr)(
    size_t version, const FlutterRendererConfig* config, const FlutterProjectArgs* args,
    void* user_data, FLUTTER_API_SYMBOL(FlutterEngine) * engine_out);
typedef FlutterEngineResult (*FlutterEngineShutdownFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine) engine);
typedef FlutterEngineResult (*FlutterEngineNotifyDisplayUpdateFnPtr)(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterEngineDisplaysUpdateType update_type,
    const FlutterEngineDisplay* displays, size_t display_count);
typedef FlutterEngineResult (*FlutterEngineSendWindowMetricsEventFnPtr)(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterWindowMetricsEvent* event);
typedef FlutterEngineResult (*FlutterEngineUpdateLocalesFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                   engine,
                                                               const FlutterLocale** locales,
                                                               size_t count);
typedef FlutterEngineResult (*FlutterEngineSendPlatformMessageFnPtr)(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message);
typedef FlutterEngineResult (*FlutterEngineSendPlatformMessageResponseFnPtr)(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);
typedef uint64_t (*FlutterEngineGetCurrentTimeFnPtr)(void);
typedef FlutterEngineResult (*FlutterEngineRunTaskFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                         const FlutterTask* task);
typedef FlutterEngineResult (*FlutterEngineSendPointerEventFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                      engine,
                                                                  const FlutterPointerEvent* events,
                                                                  size_t events_count);
typedef FlutterEngineResult (*FlutterEngineSendKeyEventFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                  engine,
                                                              const FlutterKeyEvent* event,
                                                              FlutterKeyEventCallback callback,
                                                              void* user_data);
typedef FlutterEngineResult (*FlutterEngineScheduleFrameFnPtr)(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                   engine);
typedef FlutterEngineResult (*FlutterEngineUpdateAccessibilityFeaturesFnPtr)(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterAccessibilityFeature features);
// Entries the program never calls only hold their place.
typedef void (*FlutterEngineUnusedFnPtr)(void);

// The entries keep the engine's own names.
// NOLINTBEGIN(readability-identifier-naming)
typedef struct {
  size_t struct_size;
  FlutterEngineCreateAOTDataFnPtr CreateAOTData;
  FlutterEngineCollectAOTDataFnPtr CollectAOTData;
  FlutterEngineRunFnPtr Run;
  FlutterEngineShutdownFnPtr Shutdown;
  FlutterEngineUnusedFnPtr Initialize;
  FlutterEngineUnusedFnPtr Deinitialize;
  FlutterEngineUnusedFnPtr RunInitialized;
  FlutterEngineSendWindowMetricsEventFnPtr SendWindowMetricsEvent;
  FlutterEngineSendPointerEventFnPtr SendPointerEvent;
  // Put here in 2.2: engines before it fill a table one entry shorter, in
  // which everything from SendPlatformMessage on sits one place earlier.
  FlutterEngineSendKeyEventFnPtr SendKeyEvent;
  FlutterEngineSendPlatformMessageFnPtr SendPlatformMessage;
  FlutterEngineUnusedFnPtr PlatformMessageCreateResponseHandle;
  FlutterEngineUnusedFnPtr PlatformMessageReleaseResponseHandle;
  FlutterEngineSendPlatformMessageResponseFnPtr SendPlatformMessageResponse;
  FlutterEngineUnusedFnPtr RegisterExternalTexture;
  FlutterEngineUnusedFnPtr UnregisterExternalTexture;
  FlutterEngineUnusedFnPtr MarkExternalTextureFrameAvailable;
  FlutterEngineUnusedFnPtr UpdateSemanticsEnabled;
  FlutterEngineUpdateAccessibilityFeaturesFnPtr UpdateAccessibilityFeatures;
  FlutterEngineUnusedFnPtr DispatchSemanticsAction;
  FlutterEngineUnusedFnPtr OnVsync;
  FlutterEngineUnusedFnPtr ReloadSystemFonts;
  FlutterEngineUnusedFnPtr TraceEventDurationBegin;
  FlutterEngineUnusedFnPtr TraceEventDurationEnd;
  FlutterEngineUnusedFnPtr TraceEventInstant;
  FlutterEngineUnusedFnPtr PostRenderThreadTask;
  FlutterEngineGetCurrentTimeFnPtr GetCurrentTime;
  FlutterEngineRunTaskFnPtr RunTask;
  FlutterEngineUpdateLocalesFnPtr UpdateLocales;
  FlutterEngineRunsAOTCompiledDartCodeFnPtr RunsAOTCompiledDartCode;
  FlutterEngineUnusedFnPtr PostDartObject;
  FlutterEngineUnusedFnPtr NotifyLowMemoryWarning;
  FlutterEngineUnusedFnPtr PostCallbackOnAllNativeThreads;
  FlutterEngineNotifyDisplayUpdateFnPtr NotifyDisplayUpdate;
  FlutterEngineScheduleFrameFnPtr ScheduleFrame;
  FlutterEngineUnusedFnPtr SetNextFrameCallback;
  FlutterEngineUnusedFnPtr AddView;
  FlutterEngineUnusedFnPtr RemoveView;
  FlutterEngineUnusedFnPtr SendViewFocusEvent;
  FlutterEngineUnusedFnPtr SendSemanticsAction;
} FlutterEngineProcTable;
// NOLINTEND(readability-identifier-naming)

typedef FlutterEngineResult (*FlutterEngineGetProcAddressesFnPtr)(FlutterEngineProcTable* table);

// The engine library's exported names.  The program itself looks up only
// FlutterEngineGetProcAddresses, by name, at run time; these are declared for
// the stand-in engine that defines them and for its own tests.
bool FlutterEngineRunsAOTCompiledDartCode(void);
FlutterEngineResult FlutterEngineCreateAOTData(const FlutterEngineAOTDataSource* source,
                                               FlutterEngineAOTData* data_out);
FlutterEngineResult FlutterEngineCollectAOTData(FlutterEngineAOTData data);
FlutterEngineResult FlutterEngineRun(size_t version, const FlutterRendererConfig* config,
                                     const FlutterProjectArgs* args, void* user_data,
                                     FLUTTER_API_SYMBOL(FlutterEngine) * engine_out);
FlutterEngineResult FlutterEngineShutdown(FLUTTER_API_SYMBOL(FlutterEngine) engine);
FlutterEngineResult FlutterEngineNotifyDisplayUpdate(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                     FlutterEngineDisplaysUpdateType update_type,
                                                     const FlutterEngineDisplay* displays,
                                                     size_t display_count);
FlutterEngineResult FlutterEngineSendWindowMetricsEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                        const FlutterWindowMetricsEvent* event);
FlutterEngineResult FlutterEngineUpdateLocales(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                               const FlutterLocale** locales, size_t count);
FlutterEngineResult FlutterEngineSendPlatformMessage(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                     const FlutterPlatformMessage* message);
FlutterEngineResult FlutterEngineSendPlatformMessageResponse(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);
uint64_t FlutterEngineGetCurrentTime(void);
FlutterEngineResult FlutterEngineRunTask(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                         const FlutterTask* task);
FlutterEngineResult FlutterEngineSendPointerEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                  const FlutterPointerEvent* events,
                                                  size_t events_count);
FlutterEngineResult FlutterEngineSendKeyEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                              const FlutterKeyEvent* event,
                                              FlutterKeyEventCallback callback, void* user_data);
FlutterEngineResult FlutterEngineScheduleFrame(FLUTTER_API_SYMBOL(FlutterEngine) engine);

#ifdef __cplusplus
}  // extern "C"
#endif
