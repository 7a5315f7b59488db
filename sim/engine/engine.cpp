// Placeholder stand-in engine: refuses every launch.
#include <time.h>

#include "flutter_embedder.h"

extern "C" {
bool FlutterEngineRunsAOTCompiledDartCode(void) { return false; }
FlutterEngineResult FlutterEngineCreateAOTData(const FlutterEngineAOTDataSource*, FlutterEngineAOTData*) { return kInvalidArguments; }
FlutterEngineResult FlutterEngineCollectAOTData(FlutterEngineAOTData) { return kSuccess; }
FlutterEngineResult FlutterEngineRun(size_t, const FlutterRendererConfig*, const FlutterProjectArgs*, void*, FLUTTER_API_SYMBOL(FlutterEngine)*) { return kInternalInconsistency; }
FlutterEngineResult FlutterEngineShutdown(FLUTTER_API_SYMBOL(FlutterEngine)) { return kSuccess; }
FlutterEngineResult FlutterEngineNotifyDisplayUpdate(FLUTTER_API_SYMBOL(FlutterEngine), FlutterEngineDisplaysUpdateType, const FlutterEngineDisplay*, size_t) { return kSuccess; }
FlutterEngineResult FlutterEngineSendWindowMetricsEvent(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterWindowMetricsEvent*) { return kSuccess; }
FlutterEngineResult FlutterEngineUpdateLocales(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterLocale**, size_t) { return kSuccess; }
FlutterEngineResult FlutterEngineSendPlatformMessage(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPlatformMessage*) { return kSuccess; }
FlutterEngineResult FlutterEngineSendPlatformMessageResponse(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPlatformMessageResponseHandle*, const uint8_t*, size_t) { return kSuccess; }
uint64_t FlutterEngineGetCurrentTime(void) { struct timespec ts; clock_gettime(CLOCK_MONOTONIC, &ts); return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec; }
FlutterEngineResult FlutterEngineRunTask(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterTask*) { return kSuccess; }
FlutterEngineResult FlutterEngineSendPointerEvent(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPointerEvent*, size_t) { return kSuccess; }
FlutterEngineResult FlutterEngineSendKeyEvent(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterKeyEvent*, FlutterKeyEventCallback, void*) { return kSuccess; }
FlutterEngineResult FlutterEngineScheduleFrame(FLUTTER_API_SYMBOL(FlutterEngine)) { return kSuccess; }
}
