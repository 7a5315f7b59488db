// The app against the engine: the shared test vectors, libapp.so as the
// build makes it and as users get it wrong, and the hashes an engine holds.
#include "snapshot.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, char at) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, at);) parts.push_back(part);
  if (!text.empty() && text.back() == at) parts.push_back("");
  return parts;
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every row of the vectors the bundle tool passes too, for both targets
// whatever this build's architecture.
TEST(Vectors, EveryRowGetsItsVerdict) {
  std::ifstream in(FOLIAN_SOURCE_DIR "/tests/vectors/app_engine.tsv");
  ASSERT_TRUE(in) << "tests/vectors/app_engine.tsv";
  bool header = true;
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = split(line, '\t');
    ASSERT_EQ(f.size(), 7u) << line;
    if (header) {
      header = false;
      continue;
    }
    SCOPED_TRACE(f[0]);
    EngineFacts engine;
    if (f[3] != "-") engine.hashes = split(f[3], ',');
    engine.aot = f[4] == "1";
    if (f[5] != "-") engine.mode = f[5];
    std::vector<uint8_t> data = from_hex(f[2]);
    SnapshotHeader h;
    Arch arch = f[1] == "armhf" ? Arch::kArmhf : Arch::kX8664;
    EXPECT_STREQ(verdict_name(snapshot_judge(data.data(), data.size(), arch, engine, &h)),
                 f[6].c_str());
    rows++;
  }
  EXPECT_GT(rows, 20);
}

// The stand-in app this build made, with its segments moved so that
// addresses and file offsets differ by `shift`, as in many linkers' output.
template <typename Ehdr, typename Phdr, typename Shdr, typename Sym>
void move_addresses(std::vector<uint8_t>& file, uint64_t shift) {
  Ehdr eh;
  memcpy(&eh, file.data(), sizeof eh);
  for (unsigned i = 0; i < eh.e_phnum; i++) {
    Phdr* ph = reinterpret_cast<Phdr*>(file.data() + eh.e_phoff + i * sizeof(Phdr));
    ph->p_vaddr += shift;
  }
  for (unsigned i = 0; i < eh.e_shnum; i++) {
    Shdr* sh = reinterpret_cast<Shdr*>(file.data() + eh.e_shoff + i * sizeof(Shdr));
    if (sh->sh_type != SHT_DYNSYM) continue;
    for (uint64_t at = 0; at < sh->sh_size; at += sizeof(Sym))
      reinterpret_cast<Sym*>(file.data() + sh->sh_offset + at)->st_value += shift;
  }
}

class App : public ::testing::Test {
 protected:
  void SetUp() override { file_ = read_file(FOLIAN_STAND_IN_APP); }

  ElfProblem find(const std::vector<uint8_t>& file) {
    return snapshot_find(file.data(), file.size(), kThisArch, &data_, &size_);
  }

  std::vector<uint8_t> file_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

TEST_F(App, TheStandInAppIsFoundThroughItsDynamicSymbolsAndPassesItsEngine) {
  if (kThisArch == Arch::kArmhf)
    move_addresses<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym>(file_, 0x7000);
  else
    move_addresses<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym>(file_, 0x7000);
  ASSERT_EQ(find(file_), ElfProblem::kNone);
  ASSERT_GE(data_, file_.data());
  ASSERT_LE(data_ + size_, file_.data() + file_.size());
  EngineFacts engine;
  engine.hashes = {FOLIAN_STAND_IN_HASH};
  engine.aot = true;
  SnapshotHeader h;
  EXPECT_EQ(snapshot_judge(data_, size_, kThisArch, engine, &h), Verdict::kOk);
  EXPECT_EQ(h.hash, FOLIAN_STAND_IN_HASH);
  EXPECT_EQ(h.features.rfind("product ", 0), 0u) << h.features;
}

TEST_F(App, WhatIsNoAppOfThisMachineIsToldApart) {
  auto with = [&](size_t at, const void* bytes, size_t n) {
    std::vector<uint8_t> f = file_;
    memcpy(f.data() + at, bytes, n);
    return f;
  };
  const uint16_t rel = ET_REL, other_machine = EM_AARCH64;
  const uint8_t other_class = kThisArch == Arch::kArmhf ? ELFCLASS64 : ELFCLASS32;
  EXPECT_EQ(find(with(EI_CLASS, &other_class, 1)), ElfProblem::kWrongArch);
  EXPECT_EQ(find(with(offsetof(Elf32_Ehdr, e_machine), &other_machine, 2)),
            ElfProblem::kWrongArch);
  EXPECT_EQ(find(with(offsetof(Elf32_Ehdr, e_type), &rel, 2)), ElfProblem::kNotSharedObject);
  // This test program is an executable, position-independent or not.
  EXPECT_EQ(find(read_file("/proc/self/exe")), ElfProblem::kNotSharedObject);
  EXPECT_EQ(find(std::vector<uint8_t>(file_.begin(), file_.begin() + file_.size() / 2)),
            ElfProblem::kBroken);
  std::vector<uint8_t> renamed = file_;
  for (const char* name : {"_kDartVmSnapshotData", "_kDartSnapshotData"}) {
    for (auto at = renamed.begin();
         (at = std::search(at, renamed.end(), name, name + strlen(name) + 1)) != renamed.end();)
      *(at + 2) = 'X';
  }
  EXPECT_EQ(find(renamed), ElfProblem::kNoSnapshot);
  EXPECT_EQ(find(std::vector<uint8_t>{'\x7f', 'E', 'L'}), ElfProblem::kNotElf);

  // A 32-bit ARM header made for soft-float calls.
  Elf32_Ehdr arm{};
  memcpy(arm.e_ident, ELFMAG, SELFMAG);
  arm.e_ident[EI_CLASS] = ELFCLASS32;
  arm.e_ident[EI_DATA] = ELFDATA2LSB;
  arm.e_type = ET_DYN;
  arm.e_machine = EM_ARM;
  arm.e_flags = 0x05000000 | EF_ARM_ABI_FLOAT_SOFT;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&arm);
  EXPECT_EQ(snapshot_find(bytes, sizeof arm, Arch::kArmhf, &data_, &size_),
            ElfProblem::kNotHardFloat);
}

TEST(EngineHashes, OnlyWholeLowerCaseHashesBetweenNulsEachOnce) {
  const std::string a = "0123456789abcdef0123456789abcdef", b = "fedcba9876543210fedcba9876543210";
  const std::string nul(1, '\0');
  std::string lib = nul + a + nul + b + nul + a + nul +        // two, one of them twice
                    "x" + b + "c" + nul +                     // inside longer text
                    "0123456789ABCDEF0123456789abcdef" + nul +  // upper case
                    "abc" + a + nul + nul + b + "0" + nul +     // 33 digits
                    nul + "00000000000000000000000000000000";   // no NUL after it
  std::vector<std::string> found =
      snapshot_engine_hashes(reinterpret_cast<const uint8_t*>(lib.data()), lib.size());
  EXPECT_EQ(found, (std::vector<std::string>{a, b}));
}

TEST(EngineMode, OneOfTheTwoWordsAsAStringOfItsOwnOrNothing) {
  auto mode = [](const std::string& lib) {
    return snapshot_engine_mode(reinterpret_cast<const uint8_t*>(lib.data()), lib.size());
  };
  const std::string nul(1, '\0');
  EXPECT_EQ(mode(nul + "x" + nul + "product" + nul + "release notes" + nul), "product");
  EXPECT_EQ(mode("prerelease" + nul + "release" + nul), "release");
  EXPECT_EQ(mode(nul + "product" + nul + "release" + nul), "");  // both: cannot tell
  EXPECT_EQ(mode(nul + "byproduct" + nul + "products" + nul), "");
  EXPECT_EQ(mode("product" + nul), "");  // at the very start: no NUL before it
  EXPECT_EQ(mode(nul + "release"), "");  // at the very end: no NUL after it
}

#ifdef FOLIAN_STAND_IN_ENGINE
// Only what the loader maps counts: debug information and the full symbol
// table name C++ members "release", in a release engine too.
TEST(EngineMode, TheStandInReleaseEngineIsOneWhateverItsUnmappedPartsName) {
  std::vector<uint8_t> engine = read_file(FOLIAN_STAND_IN_ENGINE);
  ASSERT_FALSE(engine.empty());
  EXPECT_EQ(snapshot_engine_mode(engine.data(), engine.size()), "product");
  for (char c : std::string("\0release\0", 9)) engine.push_back((uint8_t)c);
  EXPECT_EQ(snapshot_engine_mode(engine.data(), engine.size()), "product");
}
#endif

TEST(Releases, EveryRowOfTheTableIsBuiltIn) {
  std::ifstream in(FOLIAN_SOURCE_DIR "/src/snapshot_releases.tsv");
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = split(line, '\t');
    ASSERT_EQ(f.size(), 3u) << line;
    const char* releases = snapshot_releases(f[0]);
    ASSERT_NE(releases, nullptr) << f[0];
    EXPECT_EQ(releases, f[1]);
    rows++;
  }
  EXPECT_GT(rows, 10);
  EXPECT_EQ(snapshot_releases("00000000000000000000000000000000"), nullptr);
}

}  // namespace
