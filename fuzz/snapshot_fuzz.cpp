// Feeds arbitrary bytes to the reading of libapp.so and of an engine
// library, which come from the user: as an app of either architecture, the
// snapshot found in it judged against the hashes found in the same bytes;
// and as a snapshot header on its own.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "snapshot.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

void judge(const uint8_t* data, size_t size, Arch arch, const EngineFacts& engine) {
  SnapshotHeader header;
  Verdict v = snapshot_judge(data, size, arch, engine, &header);
  check(verdict_name(v) != nullptr);
  if (v >= Verdict::kBadMode) check(header.hash.size() == 32);
  if (v >= Verdict::kWrongArch)
    check(header.mode == "product" || header.mode == "release" || header.mode == "debug");
  // What goes to the engine is of its release and, where it tells, its mode.
  if (v == Verdict::kOk) {
    check(std::find(engine.hashes.begin(), engine.hashes.end(), header.hash) !=
          engine.hashes.end());
    check(engine.aot && (engine.mode.empty() || engine.mode == header.mode));
  }
}

// Every NUL, 32 lower-case hex digits, NUL, each once: the plain reading
// the skipping scan must agree with.
std::vector<std::string> plain_hashes(const uint8_t* data, size_t size) {
  std::vector<std::string> hashes;
  auto hex = [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  for (size_t i = 0; i + 33 < size; i++) {
    if (data[i] || data[i + 33] || !std::all_of(data + i + 1, data + i + 33, hex)) continue;
    std::string h(reinterpret_cast<const char*>(data + i + 1), 32);
    if (std::find(hashes.begin(), hashes.end(), h) == hashes.end()) hashes.push_back(h);
  }
  return hashes;
}

// The mode word the library holds as a string of its own, read plainly.
std::string plain_mode(const uint8_t* data, size_t size) {
  auto holds = [&](const std::string& word) {
    std::string text(reinterpret_cast<const char*>(data), size);
    return text.find('\0' + word + '\0') != std::string::npos;
  };
  bool product = holds("product"), release = holds("release");
  return product == release ? "" : product ? "product" : "release";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so reading one byte past the file is caught.
  uint8_t* file = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(file, data, size);
  EngineFacts engine;
  engine.hashes = snapshot_engine_hashes(file, size);
  check(engine.hashes == plain_hashes(file, size));
  engine.mode = snapshot_engine_mode(file, size);
  // An ELF file is read by its mapped parts only.
  if (size < 4 || memcmp(file,
                         "\x7f"
                         "ELF",
                         4) != 0)
    check(engine.mode == plain_mode(file, size));
  engine.aot = size % 2;
  for (Arch arch : {Arch::kArmhf, Arch::kX8664}) {
    const uint8_t* snapshot;
    size_t snapshot_size;
    if (snapshot_find(file, size, arch, &snapshot, &snapshot_size) == ElfProblem::kNone) {
      check(snapshot >= file && snapshot_size <= (size_t)(file + size - snapshot));
      judge(snapshot, snapshot_size, arch, engine);
    }
    judge(file, size, arch, engine);
  }
  free(file);
  return 0;
}
