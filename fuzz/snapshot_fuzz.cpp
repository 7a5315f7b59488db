// Feeds arbitrary bytes to the reading of libapp.so and of an engine
// library, which come from the user: as an app of either architecture, the
// snapshot found in it judged against the hashes found in the same bytes;
// and as a snapshot header on its own.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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
  if (v == Verdict::kOk) check(snapshot_releases(header.hash) || !header.hash.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so reading one byte past the file is caught.
  uint8_t* file = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(file, data, size);
  EngineFacts engine;
  engine.hashes = snapshot_engine_hashes(file, size);
  for (const std::string& h : engine.hashes) check(h.size() == 32);
  engine.aot = size % 2;
  engine.kernel_blob = size % 3 == 0;
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
