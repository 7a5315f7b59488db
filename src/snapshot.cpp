#include "snapshot.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Whether [offset, offset + length) lies within a file of `size` bytes,
// without wrapping.
bool within(uint64_t offset, uint64_t length, size_t size) {
  return offset <= size && length <= size - offset;
}

template <typename T>
T read_at(const uint8_t* file, uint64_t offset) {
  T value;
  memcpy(&value, file + offset, sizeof value);
  return value;
}

// The ELF types of one class.
struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Phdr = Elf32_Phdr;
  using Shdr = Elf32_Shdr;
  using Sym = Elf32_Sym;
};
struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Phdr = Elf64_Phdr;
  using Shdr = Elf64_Shdr;
  using Sym = Elf64_Sym;
};

// The names gen_snapshot gives the VM's snapshot data; some Dart releases
// use the second.
const char* const kSnapshotSymbols[] = {"_kDartVmSnapshotData", "_kDartSnapshotData"};

template <typename E>
ElfProblem find_in(const uint8_t* file, size_t size, Arch arch, const uint8_t** data,
                   size_t* data_size) {
  if (size < sizeof(typename E::Ehdr)) return ElfProblem::kBroken;
  const auto eh = read_at<typename E::Ehdr>(file, 0);
  uint16_t machine = arch == Arch::kArmhf ? EM_ARM : EM_X86_64;
  if (eh.e_machine != machine) return ElfProblem::kWrongArch;
  // gen_snapshot marks its 32-bit ARM output with the float ABI it was made
  // for; a soft-float app cannot call into a hard-float engine.
  if (arch == Arch::kArmhf && !(eh.e_flags & EF_ARM_ABI_FLOAT_HARD))
    return ElfProblem::kNotHardFloat;
  if (eh.e_type != ET_DYN) return ElfProblem::kNotSharedObject;

  if (eh.e_phentsize != sizeof(typename E::Phdr) ||
      !within(eh.e_phoff, (uint64_t)eh.e_phnum * sizeof(typename E::Phdr), size))
    return ElfProblem::kBroken;
  std::vector<typename E::Phdr> loads;
  for (unsigned i = 0; i < eh.e_phnum; i++) {
    auto ph = read_at<typename E::Phdr>(file, eh.e_phoff + (uint64_t)i * sizeof(typename E::Phdr));
    // A position-independent executable is ET_DYN too, but asks for a loader.
    if (ph.p_type == PT_INTERP) return ElfProblem::kNotSharedObject;
    if (ph.p_type == PT_LOAD) loads.push_back(ph);
  }

  if (eh.e_shentsize != sizeof(typename E::Shdr) ||
      !within(eh.e_shoff, (uint64_t)eh.e_shnum * sizeof(typename E::Shdr), size))
    return ElfProblem::kBroken;
  auto section = [&](uint64_t i) {
    return read_at<typename E::Shdr>(file, eh.e_shoff + i * sizeof(typename E::Shdr));
  };
  uint64_t value = 0;
  bool found = false;
  for (unsigned i = 0; i < eh.e_shnum && !found; i++) {
    auto symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    if (symtab.sh_link >= eh.e_shnum || !within(symtab.sh_offset, symtab.sh_size, size))
      return ElfProblem::kBroken;
    auto strtab = section(symtab.sh_link);
    if (!within(strtab.sh_offset, strtab.sh_size, size)) return ElfProblem::kBroken;
    const char* names = reinterpret_cast<const char*>(file + strtab.sh_offset);
    for (const char* wanted : kSnapshotSymbols) {
      size_t length = strlen(wanted) + 1;
      for (uint64_t at = 0; at + sizeof(typename E::Sym) <= symtab.sh_size;
           at += sizeof(typename E::Sym)) {
        auto sym = read_at<typename E::Sym>(file, symtab.sh_offset + at);
        if (sym.st_shndx == SHN_UNDEF || !within(sym.st_name, length, strtab.sh_size) ||
            memcmp(names + sym.st_name, wanted, length) != 0)
          continue;
        value = sym.st_value;
        found = true;
        break;
      }
      if (found) break;
    }
  }
  if (!found) return ElfProblem::kNoSnapshot;

  // The symbol's address, to its place in the file through the segment that
  // loads it.
  for (const auto& ph : loads) {
    if (value < ph.p_vaddr || value - ph.p_vaddr >= ph.p_filesz) continue;
    uint64_t offset = ph.p_offset + (value - ph.p_vaddr);
    if (!within(ph.p_offset, ph.p_filesz, size)) return ElfProblem::kBroken;
    *data = file + offset;
    *data_size = (size_t)(ph.p_filesz - (value - ph.p_vaddr));
    return ElfProblem::kNone;
  }
  return ElfProblem::kNoSnapshot;
}

constexpr uint8_t kMagic[4] = {0xf5, 0xf5, 0xdc, 0xdc};  // 0xdcdcf5f5, little-endian
constexpr size_t kHashAt = 20;
constexpr size_t kHashLength = 32;
constexpr size_t kFeaturesAt = kHashAt + kHashLength;
constexpr size_t kMaxFeatures = 1024;

bool lower_hex(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Blank-separated words; the test is for whole words, so that "xarm-eabi"
// does not pass for "arm-eabi".
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

bool has_word(const std::vector<std::string>& words, const char* word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The parts of a library the loader maps, as [from, to) in the file: the
// strings the running code can use.  What is not mapped (debug information,
// the full symbol table) names C++ members "release" and more.  A file that
// is no ELF file of a known class is taken whole.
template <typename E>
std::vector<std::pair<size_t, size_t>> loaded_parts_of(const uint8_t* file, size_t size) {
  std::vector<std::pair<size_t, size_t>> parts;
  if (size < sizeof(typename E::Ehdr)) return {{0, size}};
  const auto eh = read_at<typename E::Ehdr>(file, 0);
  if (eh.e_phentsize != sizeof(typename E::Phdr) ||
      !within(eh.e_phoff, (uint64_t)eh.e_phnum * sizeof(typename E::Phdr), size))
    return {{0, size}};
  for (unsigned i = 0; i < eh.e_phnum; i++) {
    auto ph = read_at<typename E::Phdr>(file, eh.e_phoff + (uint64_t)i * sizeof(typename E::Phdr));
    if (ph.p_type != PT_LOAD || ph.p_offset >= size) continue;
    parts.emplace_back((size_t)ph.p_offset,
                       (size_t)std::min<uint64_t>(size, ph.p_offset + ph.p_filesz));
  }
  return parts;
}

std::vector<std::pair<size_t, size_t>> loaded_parts(const uint8_t* file, size_t size) {
  if (size < EI_NIDENT || memcmp(file, ELFMAG, SELFMAG) != 0) return {{0, size}};
  if (file[EI_CLASS] == ELFCLASS32) return loaded_parts_of<Elf32>(file, size);
  if (file[EI_CLASS] == ELFCLASS64) return loaded_parts_of<Elf64>(file, size);
  return {{0, size}};
}

struct Release {
  const char* hash;
  const char* releases;
  const char* dart;
};

const Release kReleases[] = {
#include "snapshot_releases.inc"
};

}  // namespace

ElfProblem snapshot_find(const uint8_t* file, size_t size, Arch arch, const uint8_t** data,
                         size_t* data_size) {
  *data = nullptr;
  *data_size = 0;
  if (size < EI_NIDENT || memcmp(file, ELFMAG, SELFMAG) != 0) return ElfProblem::kNotElf;
  if (file[EI_DATA] != ELFDATA2LSB) return ElfProblem::kWrongArch;
  if (file[EI_CLASS] != (arch == Arch::kArmhf ? ELFCLASS32 : ELFCLASS64))
    return ElfProblem::kWrongArch;
  return arch == Arch::kArmhf ? find_in<Elf32>(file, size, arch, data, data_size)
                              : find_in<Elf64>(file, size, arch, data, data_size);
}

const char* verdict_name(Verdict verdict) {
  static const char* const kNames[] = {
      "ok",         "bad_magic",   "truncated",        "bad_hash",      "bad_mode",
      "wrong_arch", "wrong_float", "needs_aot_engine", "hash_mismatch", "mode_mismatch"};
  return kNames[(int)verdict];
}

Verdict snapshot_judge(const uint8_t* data, size_t size, Arch arch, const EngineFacts& engine,
                       SnapshotHeader* header) {
  *header = SnapshotHeader{};
  if (size < sizeof kMagic || memcmp(data, kMagic, sizeof kMagic) != 0) return Verdict::kBadMagic;
  if (size <= kFeaturesAt) return Verdict::kTruncated;
  size_t room = std::min(size - kFeaturesAt, kMaxFeatures + 1);
  const void* nul = memchr(data + kFeaturesAt, '\0', room);
  if (!nul) return Verdict::kTruncated;
  header->features.assign(reinterpret_cast<const char*>(data + kFeaturesAt));
  if (!std::all_of(data + kHashAt, data + kFeaturesAt, lower_hex)) return Verdict::kBadHash;
  header->hash.assign(reinterpret_cast<const char*>(data + kHashAt), kHashLength);

  std::vector<std::string> words = words_of(header->features);
  const std::string mode = words.empty() ? "" : words[0];
  if (mode != "product" && mode != "release" && mode != "debug") return Verdict::kBadMode;
  header->mode = mode;
  // The Dart VMs of older releases name the ABI ("arm-eabi" with "hardfp"
  // or "softfp", "x64-sysv"); later ones the architecture and the system
  // ("arm linux", "x64 linux"), the float ABI then being the ELF file's.
  bool older = has_word(words, arch == Arch::kArmhf ? "arm-eabi" : "x64-sysv");
  bool newer = has_word(words, arch == Arch::kArmhf ? "arm" : "x64") && has_word(words, "linux");
  if (!older && !newer) return Verdict::kWrongArch;
  if (older && arch == Arch::kArmhf && !has_word(words, "hardfp")) return Verdict::kWrongFloat;
  if (!engine.aot) return Verdict::kNeedsAotEngine;
  if (std::find(engine.hashes.begin(), engine.hashes.end(), header->hash) == engine.hashes.end())
    return Verdict::kHashMismatch;
  if (!engine.mode.empty() && engine.mode != mode) return Verdict::kModeMismatch;
  return Verdict::kOk;
}

std::string snapshot_engine_mode(const uint8_t* data, size_t size) {
  auto holds = [&](const char* word) {
    size_t length = strlen(word);
    for (const auto& [from, to] : loaded_parts(data, size)) {
      const uint8_t* end = data + to;
      for (const uint8_t* at = data + from; at < end;) {
        const void* found = memmem(at, (size_t)(end - at), word, length);
        if (!found) break;
        const uint8_t* p = static_cast<const uint8_t*>(found);
        if (p > data + from && p[-1] == '\0' && p + length < end && p[length] == '\0') return true;
        at = p + 1;
      }
    }
    return false;
  };
  bool product = holds("product"), release = holds("release");
  if (product == release) return "";
  return product ? "product" : "release";
}

std::vector<std::string> snapshot_engine_hashes(const uint8_t* data, size_t size) {
  std::vector<std::string> hashes;
  // Any 32 bytes in a row hold one of every 32nd offset, so only those are
  // looked at until one holds a hex digit; then the run of digits around it,
  // and on from its end.  An engine is tens of megabytes, looked through at
  // every start, and this reads about one byte in 32 of it.
  for (size_t k = 0; k < size; k += kHashLength) {
    if (!lower_hex(data[k])) continue;
    size_t start = k, end = k;
    while (start > 0 && lower_hex(data[start - 1])) start--;
    while (end < size && lower_hex(data[end])) end++;
    if (end - start == kHashLength && start > 0 && end < size && data[start - 1] == '\0' &&
        data[end] == '\0') {
      std::string hash(reinterpret_cast<const char*>(data + start), kHashLength);
      if (std::find(hashes.begin(), hashes.end(), hash) == hashes.end()) hashes.push_back(hash);
    }
    k = end;
  }
  return hashes;
}

const char* snapshot_releases(const std::string& hash) {
  for (const Release& r : kReleases)
    if (hash == r.hash) return r.releases;
  return nullptr;
}

int snapshot_release_number(const std::string& hash) {
  const char* releases = snapshot_releases(hash);
  unsigned major = 0, minor = 0;
  if (!releases || sscanf(releases, "%u.%u", &major, &minor) != 2) return -1;
  return (int)(major * 100 + minor);
}

MappedFile::MappedFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = errno;
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    error_ = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (st.st_size > 0) {
    void* m = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED) {
      error_ = errno;
    } else {
      data_ = static_cast<const uint8_t*>(m);
      size_ = (size_t)st.st_size;
    }
  }
  close(fd);
}

MappedFile::~MappedFile() {
  if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}
