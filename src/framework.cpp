// Posing as the device's application framework on its LIPC bus.  The LIPC
// client library is loaded at run time so that the same binary runs on
// machines without it.
#include "framework.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "settings.h"

namespace {

// The library's C entry points, as it exports them.
using LipcGetter = int (*)(void* lipc, const char* property, void* value, void* data);
using LipcSetter = int (*)(void* lipc, const char* property, void* value, void* data);
using LipcOpenFn = void* (*)(const char* service);
using LipcRegisterIntPropertyFn = int (*)(void* lipc, const char* property, LipcGetter getter,
                                          LipcSetter setter, void* data);
using LipcSetStringPropertyFn = int (*)(void* lipc, const char* service, const char* property,
                                        const char* value);
using LipcCloseFn = void (*)(void* lipc);

const char kService[] = "com.lab126.kaf";
const char kBlanket[] = "com.lab126.blanket";

void* g_lib = nullptr;  // never unloaded: the library may keep threads of its own
void* g_lipc = nullptr;
LipcCloseFn g_close = nullptr;
LipcSetStringPropertyFn g_set_string = nullptr;

// Called by the library on whatever thread serves the bus; it only stores a
// constant.
int get_framework_started(void*, const char*, void* value, void*) {
  *static_cast<int*>(value) = 1;
  return 0;
}

}  // namespace

void blanket(const char* property, const char* value) {
  if (g_lipc == nullptr || g_set_string == nullptr) return;
  int code = g_set_string(g_lipc, kBlanket, property, value);
  if (code != 0) log_error("blanket %s %s 失败（%d）\n", property, value, code);
}

int framework_fake_open() {
  if (!setting_flag("FOLIAN_FAKE_FRAMEWORK")) return 0;

  void* lib = dlopen("liblipc.so.1", RTLD_NOW);
  if (lib == nullptr) lib = dlopen("liblipc.so", RTLD_NOW);
  if (lib == nullptr) {
    const char* why = dlerror();
    log_error("冒充框架：加载 liblipc 失败（%s），电源键可能无效\n", why ? why : "");
    return 0;
  }
  g_lib = lib;

  auto open = reinterpret_cast<LipcOpenFn>(dlsym(lib, "LipcOpen"));
  auto register_int =
      reinterpret_cast<LipcRegisterIntPropertyFn>(dlsym(lib, "LipcRegisterIntProperty"));
  auto close = reinterpret_cast<LipcCloseFn>(dlsym(lib, "LipcClose"));
  auto set_string = reinterpret_cast<LipcSetStringPropertyFn>(dlsym(lib, "LipcSetStringProperty"));
  if (open == nullptr || register_int == nullptr || close == nullptr || set_string == nullptr) {
    log_error("冒充框架：liblipc 缺接口\n");
    return 0;
  }
  g_close = close;
  g_set_string = set_string;

  g_lipc = open(kService);
  if (g_lipc == nullptr) {
    log_error("冒充框架：注册服务 com.lab126.kaf 失败（真框架还没停干净？）\n");
    return 0;
  }
  // From here on the service name is ours, so the close must run even if
  // the property cannot be registered.
  int code = register_int(g_lipc, "frameworkStarted", get_framework_started, nullptr, nullptr);
  if (code != 0) {
    log_error("冒充框架：注册 frameworkStarted 失败（%d）\n", code);
    return 0;
  }
  blanket("unload", "splash");
  blanket("unload", "screensaver");
  log_info("冒充框架：com.lab126.kaf frameworkStarted=1，已卸掉系统开机画面和屏保\n");
  return 1;
}

void framework_fake_close() {
  if (g_lipc == nullptr) return;
  blanket("load", "screensaver");
  g_close(g_lipc);
  g_lipc = nullptr;
  log_info("冒充框架：已注销，系统屏保装回\n");
}
