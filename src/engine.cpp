#include "engine.h"

#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "log.h"
#include "snapshot.h"

namespace {

FlutterEngineProcTable g_api{};
// The file the loader mapped for the engine: a name without a slash is
// looked for along the loader's path, not in the working directory.
std::string g_loaded_path;
int g_release = -1;
std::string g_release_name = "版本不明";

// The first of the library's hashes the table knows names its release.
void note_release(const std::vector<std::string>& hashes) {
  for (const std::string& hash : hashes) {
    int number = snapshot_release_number(hash);
    if (number < 0) continue;
    g_release = number;
    g_release_name = std::string("Flutter ") + snapshot_releases(hash);
    return;
  }
}

struct Entry {
  size_t offset;        // in FlutterEngineProcTable
  const char* name;     // the engine's exported name
  const char* since;    // the first release that has it
  const char* without;  // what goes without it; null: the program cannot
};

// From src/engine_functions.tsv, which the bundle tool reads too.
constexpr Entry kEntries[] = {
#include "engine_functions.inc"
};

bool present(const FlutterEngineProcTable& table, size_t offset) {
  void* entry;
  memcpy(&entry, reinterpret_cast<const char*>(&table) + offset, sizeof entry);
  return entry != nullptr;
}

// SendKeyEvent was put into the middle of the table in 2.2.  An engine from
// before fills at most the entries up to NotifyDisplayUpdate of its shorter
// table, so nothing from our NotifyDisplayUpdate on; every engine since has
// that entry.  Its entries from SendPlatformMessage on move up one place.
void move_entries_of_a_table_without_key_events(FlutterEngineProcTable* table) {
  const char* bytes = reinterpret_cast<const char*>(table);
  for (size_t at = offsetof(FlutterEngineProcTable, NotifyDisplayUpdate); at < sizeof *table; at++)
    if (bytes[at]) return;
  memmove(&table->SendPlatformMessage, &table->SendKeyEvent,
          offsetof(FlutterEngineProcTable, NotifyDisplayUpdate) -
              offsetof(FlutterEngineProcTable, SendKeyEvent));
  table->SendKeyEvent = nullptr;
}

const char* arch_name(Arch arch) { return arch == Arch::kArmhf ? "32 位 ARM 硬浮点" : "x86-64"; }

// "80a4…（Flutter 3.24.0–3.24.5）": a hash and the releases that made it.
std::string named(const std::string& hash) {
  const char* releases = snapshot_releases(hash);
  return hash + "（" + (releases ? std::string("Flutter ") + releases : "Flutter 版本不明") + "）";
}

// The engine's own hashes for a message, at most three.
std::string engine_hashes_text(const std::vector<std::string>& hashes) {
  if (hashes.empty()) return "引擎里找不到快照版本号";
  std::string text = "引擎的快照是 ";
  for (size_t i = 0; i < hashes.size() && i < 3; i++) text += (i ? "、" : "") + named(hashes[i]);
  return text;
}

// The Flutter build a Dart VM mode word belongs to.
const char* mode_name(const std::string& mode) {
  if (mode == "product") return " Flutter release 构建（product）";
  if (mode == "release") return " Flutter profile 构建（release）";
  return "带调试检查的 Dart VM 做的（debug）";
}

bool tell_elf_problem(ElfProblem problem, const char* app) {
  switch (problem) {
    case ElfProblem::kNone:
      return true;
    case ElfProblem::kNotElf:
      log_error("应用 %s 不是 ELF 文件\n", app);
      break;
    case ElfProblem::kWrongArch:
      log_error("应用 %s 不是为本机（%s）编译的\n", app, arch_name(kThisArch));
      break;
    case ElfProblem::kNotHardFloat:
      log_error("应用 %s 是软浮点（softfp）的 ARM 代码，本机要硬浮点（armhf）\n", app);
      break;
    case ElfProblem::kNotSharedObject:
      log_error("应用 %s 不是共享库（是可执行文件或目标文件）\n", app);
      break;
    case ElfProblem::kBroken:
      log_error("应用 %s 的 ELF 头或节表超出文件末尾\n", app);
      break;
    case ElfProblem::kNoSnapshot:
      log_error("应用 %s 里没有 _kDartVmSnapshotData：不是预编译的 Flutter 应用\n", app);
      break;
  }
  return false;
}

bool tell_verdict(Verdict verdict, const char* app, const SnapshotHeader& h,
                  const EngineFacts& engine) {
  const char* features = h.features.c_str();
  switch (verdict) {
    case Verdict::kOk:
      log_info("应用 %s：快照 %s，%s\n", app, named(h.hash).c_str(), features);
      return true;
    case Verdict::kBadMagic:
      log_error("应用 %s 的快照数据没有 Dart 快照头\n", app);
      break;
    case Verdict::kTruncated:
      log_error("应用 %s 的快照头不完整\n", app);
      break;
    case Verdict::kBadHash:
      log_error("应用 %s 的快照版本号不是 32 位小写十六进制数\n", app);
      break;
    case Verdict::kBadMode:
      log_error("应用 %s 的快照模式不明（特性：%s）\n", app, features);
      break;
    case Verdict::kWrongArch:
      log_error("应用 %s 的快照是为别的处理器或系统做的（特性：%s），本机是 Linux、%s\n", app,
                features, arch_name(kThisArch));
      break;
    case Verdict::kWrongFloat:
      log_error("应用 %s 的快照用软浮点（特性：%s），本机要 hardfp\n", app, features);
      break;
    case Verdict::kNeedsAotEngine:
      log_error("应用 %s 是预编译代码（特性：%s），这个引擎却只跑调试代码\n", app, features);
      break;
    case Verdict::kHashMismatch:
      log_error("应用 %s 的快照是 %s，不是这个引擎的：%s；应用和引擎要出自同一个 Flutter 版本\n",
                app, named(h.hash).c_str(), engine_hashes_text(engine.hashes).c_str());
      break;
    case Verdict::kModeMismatch:
      log_error("应用 %s 是%s（特性：%s），引擎却是%s：应用和引擎要出自同一种构建\n", app,
                mode_name(h.mode), features, mode_name(engine.mode));
      break;
  }
  return false;
}

}  // namespace

const FlutterEngineProcTable& engine_api() { return g_api; }

bool engine_take_table(FlutterEngineGetProcAddressesFnPtr get_proc_addresses) {
  FlutterEngineProcTable table{};
  table.struct_size = sizeof table;
  FlutterEngineResult result = get_proc_addresses(&table);
  if (result != kSuccess) {
    log_error("引擎不肯给出函数表（%d）\n", (int)result);
    return false;
  }
  move_entries_of_a_table_without_key_events(&table);

  // The missing functions the program cannot do without, in one line,
  // grouped by the release that brought them.
  std::string missing;
  for (const Entry& e : kEntries) {
    if (e.without || present(table, e.offset)) continue;
    std::string group = std::string("（") + e.since + "）";
    size_t at = missing.find(group);
    if (at == std::string::npos) {
      missing += (missing.empty() ? "" : "；") + std::string(e.name) + group;
    } else {
      missing.insert(at, std::string("、") + e.name);
    }
  }
  if (!missing.empty()) {
    log_error("引擎缺少 %s\n", missing.c_str());
    return false;
  }
  for (const Entry& e : kEntries)
    if (e.without && !present(table, e.offset))
      log_info("引擎没有 %s（%s）：%s\n", e.name, e.since, e.without);
  g_api = table;
  return true;
}

bool engine_load(const char* path) {
  // Loaded here rather than by the program loader, so that an engine that
  // cannot be loaded (another architecture, a newer C library than the
  // device's) is told in a line and the screen is given back.  Local: no
  // later library may bind to the engine's symbols by accident.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    log_error("加载引擎失败：%s\n", why ? why : path);
    return false;
  }
  void* get = dlsym(library, "FlutterEngineGetProcAddresses");
  if (!get) {
    // Every engine since 2.0 has it: this is no Embedder API engine library.
    log_error("%s 不是 Flutter 的 Embedder API 引擎库：没有 FlutterEngineGetProcAddresses\n", path);
    dlclose(library);
    return false;
  }
  Dl_info info{};
  g_loaded_path = dladdr(get, &info) && info.dli_fname && *info.dli_fname ? info.dli_fname : path;
  if (g_loaded_path == path)
    log_info("引擎 %s\n", path);
  else
    log_info("引擎 %s：%s\n", path, g_loaded_path.c_str());
  FlutterEngineGetProcAddressesFnPtr get_proc_addresses;
  memcpy(&get_proc_addresses, &get, sizeof get);
  if (!engine_take_table(get_proc_addresses)) {
    dlclose(library);
    return false;
  }
  // The library stays for the life of the process.
  return true;
}

bool engine_check_app(const char* engine_path, const char* app_path, const char* kernel_path) {
  EngineFacts engine;
  engine.aot = engine_api().RunsAOTCompiledDartCode();
  bool kernel_blob = access(kernel_path, R_OK) == 0;
  // The file that was loaded, whatever name it was loaded by.
  const char* loaded = g_loaded_path.empty() ? engine_path : g_loaded_path.c_str();
  if (!engine.aot && kernel_blob) {
    log_info("调试引擎：运行 %s，不用 %s\n", kernel_path, app_path);
    MappedFile library(loaded);
    note_release(snapshot_engine_hashes(library.data(), library.size()));
    return true;
  }
  MappedFile app(app_path);
  if (app.error() == ENOENT && kernel_blob) {
    log_error("应用是调试构建（只有 %s，没有 %s），这个引擎只跑预编译代码：要调试引擎\n",
              kernel_path, app_path);
    return false;
  }
  if (app.error()) {
    log_error("读不了应用 %s: %s\n", app_path, strerror(app.error()));
    return false;
  }
  const uint8_t* data;
  size_t size;
  if (!tell_elf_problem(snapshot_find(app.data(), app.size(), kThisArch, &data, &size), app_path))
    return false;
  MappedFile library(loaded);
  if (library.error()) {
    log_error("读不了引擎 %s: %s\n", loaded, strerror(library.error()));
    return false;
  }
  engine.hashes = snapshot_engine_hashes(library.data(), library.size());
  engine.mode = snapshot_engine_mode(library.data(), library.size());
  note_release(engine.hashes);
  SnapshotHeader header;
  Verdict verdict = snapshot_judge(data, size, kThisArch, engine, &header);
  if (verdict == Verdict::kOk && engine.mode.empty())
    log_info("引擎 %s 看不出是 Flutter release 还是 profile 构建：应用是%s，引擎要是同一种\n",
             loaded, mode_name(header.mode));
  return tell_verdict(verdict, app_path, header, engine);
}

int engine_release(const char** name) {
  if (name) *name = g_release_name.c_str();
  return g_release;
}

void engine_describe(const char* engine_path, const char* app_path, FILE* out) {
  auto release = [](const std::string& hash) {
    const char* releases = snapshot_releases(hash);
    return releases ? std::string("Flutter ") + releases : std::string("unknown release");
  };
  MappedFile library(engine_path);
  if (library.error() != ENOENT) {
    fprintf(out, "engine: %s:", engine_path);
    std::vector<std::string> hashes = snapshot_engine_hashes(library.data(), library.size());
    if (library.error()) fprintf(out, " unreadable (%s)", strerror(library.error()));
    if (!library.error() && hashes.empty()) fprintf(out, " no snapshot hash found");
    for (size_t i = 0; i < hashes.size() && i < 3; i++)
      fprintf(out, "%s %s (snapshot %s)", i ? "," : "", release(hashes[i]).c_str(),
              hashes[i].c_str());
    fputc('\n', out);
  }
  MappedFile app(app_path);
  if (app.error() == ENOENT) return;
  fprintf(out, "app: %s:", app_path);
  const uint8_t* data = nullptr;
  size_t size = 0;
  SnapshotHeader header;
  if (app.error()) {
    fprintf(out, " unreadable (%s)\n", strerror(app.error()));
  } else if (snapshot_find(app.data(), app.size(), kThisArch, &data, &size) != ElfProblem::kNone) {
    fprintf(out, " not an ahead-of-time Flutter app for this machine\n");
  } else if (snapshot_judge(data, size, kThisArch, EngineFacts{}, &header) < Verdict::kBadMode) {
    fprintf(out, " no readable snapshot header\n");
  } else {
    fprintf(out, " %s (snapshot %s, %s)\n", release(header.hash).c_str(), header.hash.c_str(),
            header.features.c_str());
  }
}
