// Placeholder until the system channel lands: every method is unknown.
#include "platform.h"

int platform_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message) {
  if (message->response_handle)
    FlutterEngineSendPlatformMessageResponse(engine, message->response_handle, nullptr, 0);
  return 0;
}
