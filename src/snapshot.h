// What an ahead-of-time compiled application says about the engine it needs,
// read without loading anything: the Dart snapshot header in its libapp.so
// (the snapshot hash of the Dart VM that made it, its mode and architecture),
// and the snapshot hashes the engine library holds as strings.  An engine
// runs only apps whose hash is its own and aborts the whole process on any
// other, so these are judged before the engine is asked.  Both files come
// from the user: every read is bounded by the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

enum class Arch { kArmhf, kX8664 };

// This program's architecture: the app must be of it.
#if defined(__arm__)
constexpr Arch kThisArch = Arch::kArmhf;
#else
constexpr Arch kThisArch = Arch::kX8664;
#endif

// Why libapp.so holds no snapshot an engine of the architecture could use.
enum class ElfProblem {
  kNone,
  kNotElf,
  kWrongArch,        // another ELF class, byte order or machine
  kNotHardFloat,     // 32-bit ARM built for the soft-float calling convention
  kNotSharedObject,  // an executable (PIE ones included) or an object file
  kBroken,           // headers or tables reaching past the end of the file
  kNoSnapshot,       // no snapshot data symbol, or one outside the file
};

// Finds the snapshot data through libapp.so's dynamic symbols:
// _kDartVmSnapshotData (or _kDartSnapshotData) at its place in the file.
// `*data` then points at it and `*data_size` counts the bytes from there to
// the end of its segment's contents in the file.
ElfProblem snapshot_find(const uint8_t* file, size_t size, Arch arch, const uint8_t** data,
                         size_t* data_size);

// The judgements, in the order they are made: the first that fails counts.
// The first word of the features is the mode the Dart VM that made the app
// was built in: "product" for a Flutter release build, "release" for a
// profile build, "debug" for a VM built with its C++ debug checks.  It says
// nothing about JIT: libapp.so always holds ahead-of-time code, and a
// Flutter debug build has a kernel_blob.bin and no libapp.so at all.
enum class Verdict {
  kOk,
  kBadMagic,        // no snapshot header
  kTruncated,       // the header ends before its features string does
  kBadHash,         // the hash is not 32 lower-case hex digits
  kBadMode,         // the features do not start with product, release or debug
  kWrongArch,       // the features name another architecture or system
  kWrongFloat,      // 32-bit ARM in the older words, without hardfp
  kNeedsAotEngine,  // ahead-of-time code for an engine that runs none
  kHashMismatch,    // made by another release's Dart VM than the engine's
  kModeMismatch,    // made for a VM of another mode than the engine's
};

// The verdict's name in the shared test vectors ("bad_magic", ...).
const char* verdict_name(Verdict verdict);

struct EngineFacts {
  std::vector<std::string> hashes;  // snapshot hashes found in the library
  std::string mode;                 // its VM's mode word; empty when the library does not tell
  bool aot = false;                 // FlutterEngineRunsAOTCompiledDartCode
};

struct SnapshotHeader {
  std::string hash;      // set from kBadMode on
  std::string features;  // set from kBadHash on
  std::string mode;      // the first word of the features, set from kWrongArch on
};

// Judges the first `size` bytes of the snapshot data against the engine;
// `header` receives what could be read.
Verdict snapshot_judge(const uint8_t* data, size_t size, Arch arch, const EngineFacts& engine,
                       SnapshotHeader* header);

// The mode word of the engine's Dart VM, as it spells it when it checks an
// app's features: "product" or "release", whichever of the two the parts of
// the library the loader maps hold as a string of their own (a NUL on both
// sides).  Empty when they hold both or neither: the library cannot tell,
// and nothing is guessed.
std::string snapshot_engine_mode(const uint8_t* data, size_t size);

// Every run of exactly 32 lower-case hex digits with a NUL on both sides: the
// snapshot hashes an engine library holds, each once, in file order.
std::vector<std::string> snapshot_engine_hashes(const uint8_t* data, size_t size);

// The Flutter releases whose apps carry `hash` ("3.24.0–3.24.5"), from the
// table of known releases, or nullptr.
const char* snapshot_releases(const std::string& hash);

// The first release that carries `hash` as major * 100 + minor (324 for
// 3.24.0–3.24.5), or -1 when the table does not know the hash.
int snapshot_release_number(const std::string& hash);

// A whole file mapped read-only and unmapped when it goes: an engine library
// is tens of megabytes, looked through once and never copied.
class MappedFile {
 public:
  explicit MappedFile(const char* path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  int error() const { return error_; }  // errno of the failure, 0 when mapped

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int error_ = 0;
};
