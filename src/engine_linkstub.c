/* Link-time stand-in for the device build: the engine's exported names, so
 * the executable links without the engine at hand.  It is written to
 * linkstub/, not lib/, and is never installed; at run time the device's
 * libflutter_engine.so in lib/ is loaded in its place. */
void FlutterEngineRunsAOTCompiledDartCode(void) {}
void FlutterEngineCreateAOTData(void) {}
void FlutterEngineCollectAOTData(void) {}
void FlutterEngineRun(void) {}
void FlutterEngineShutdown(void) {}
void FlutterEngineNotifyDisplayUpdate(void) {}
void FlutterEngineSendWindowMetricsEvent(void) {}
void FlutterEngineUpdateLocales(void) {}
void FlutterEngineSendPlatformMessage(void) {}
void FlutterEngineSendPlatformMessageResponse(void) {}
void FlutterEngineGetCurrentTime(void) {}
void FlutterEngineRunTask(void) {}
void FlutterEngineSendPointerEvent(void) {}
void FlutterEngineSendKeyEvent(void) {}
void FlutterEngineScheduleFrame(void) {}
