// The display module on the stand-in framebuffer (EPDC kind mtk, found by
// probing at the first refresh) and on the simulated screen.  The stand-in
// panel is 60 pixels wide, and its driver pads each line to 64 bytes per
// byte of pixel, as the real drivers pad theirs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <optional>

#include "display.h"
#include "screen_fixture.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000;
using Rect = std::vector<uint32_t>;

class Panel : public ::testing::Test {
 protected:
  void TearDown() override { display_close(); }

  // Opens the stand-in panel with `env` (replacing that of the last open) on
  // top of a 60x48 8-bit default.
  int open(const EnvList& env = {}) {
    display_close();
    env_.reset();
    env_.emplace(EnvList{{"FOLIAN_SIM_FB_XRES", "60"}, {"FOLIAN_SIM_FB_YRES", "48"}});
    env_->set(env);
    return display_open(&info_);
  }
  static std::vector<Rect> refreshes() {
    std::vector<Rect> out;
    for (auto& u : sim_fb_updates()) out.push_back({u.left, u.top, u.width, u.height, u.update_mode});
    return out;
  }
  static std::string write_file(const char* name, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
  }

  std::optional<ScopedEnv> env_;
  DisplayInfo info_{};
};

// One pixel of each colour on panels of every depth and field layout; alpha
// (set to 0x5A by Frame) never counts.  The engine's gray and RGB565 frames
// go through as they are, where the panel takes them, and nowhere else.
TEST_F(Panel, PixelConversionForEveryDepthAndFieldLayout) {
  const EnvList gray = {}, inverted = {{"FOLIAN_SIM_FB_GRAYSCALE", "2"}},
                rgb565 = {{"FOLIAN_SIM_FB_BPP", "16"}},
                ten_bit = {{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "20:10,10:10,0:10,30:2"}},
                short32 = {{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "16:5,8:6,0:5,24:0"}};
  constexpr FramePixels kGray = FramePixels::kGray8, k565 = FramePixels::kRgb565;
  struct Row {
    const EnvList* env;
    unsigned bytes;
    uint32_t rgb, want;
    FramePixels source = FramePixels::kBgra;
  } rows[] = {
      {&gray, 1, 0x36, 0x36, kGray}, {&inverted, 1, 0x36, 0xC9, kGray},
      {&rgb565, 2, 0xF800, 0xF800, k565}, {&rgb565, 2, 0x8410, 0x8410, k565},
      // Refused: the panel keeps what it had.
      {&rgb565, 2, 0x36, 0x0000, kGray}, {&gray, 1, 0xF800, 0, k565}, {&short32, 4, 0xF800, 0, k565},
      {&gray, 1, 0xFF0000, 76},  {&gray, 1, 0x00FF00, 149},      {&gray, 1, 0x0000FF, 28},
      {&gray, 1, kWhite, 255},   {&gray, 1, kBlack, 0},          {&gray, 1, 0x808080, 128},
      {&inverted, 1, kWhite, 0}, {&inverted, 1, kBlack, 255},
      {&rgb565, 2, kWhite, 0xFFFF}, {&rgb565, 2, 0xFF0000, 0xF800}, {&rgb565, 2, 0x00FF00, 0x07E0},
      {&rgb565, 2, 0x808080, 0x8410},
      // Fields longer than 8 bits repeat the level; transparency stays opaque.
      {&ten_bit, 4, kWhite, 0xFFFFFFFF}, {&ten_bit, 4, 0xFF0000, 0xFFF00000},
      {&ten_bit, 4, 0x000080, 0xC0000202}, {&ten_bit, 4, kBlack, 0xC0000000},
      {&short32, 4, kWhite, 0x001F3F1F}, {&short32, 4, 0x00FF00, 0x00003F00},
  };
  for (auto& r : rows) {
    ASSERT_EQ(open(*r.env), 1);
    Frame(60, 48, kBlack).present();
    Frame f(60, 48, 0, 0, r.source);
    f.set(5, 7, r.rgb);
    bool refused = r.source == kGray ? r.bytes != 1 : r.source == k565 && r.bytes != 2;
    StderrCapture err;
    EXPECT_EQ(f.present(), !refused);
    EXPECT_EQ(panel_at(5, 7, 64 * r.bytes, r.bytes), r.want) << std::hex << r.rgb << " bytes " << r.bytes;
    EXPECT_EQ(count_of(err.text(), "][错误] "), refused ? 1u : 0u) << err.text();
  }
}

// Each refusal is told in an error line.
TEST_F(Panel, UnsoundGeometryIsRefusedAtOpen) {
  const EnvList cases[] = {
      {{"FOLIAN_SIM_FB_BPP", "24"}},
      {{"FOLIAN_SIM_FB_LINE_LENGTH", "0"}, {"FOLIAN_SIM_FB_SMEM_LEN", "3072"}},
      {{"FOLIAN_SIM_FB_BPP", "16"}, {"FOLIAN_SIM_FB_LINE_LENGTH", "119"}},  // one byte short
      {{"FOLIAN_SIM_FB_YOFFSET", "49"}},  // panned past the second screen of the 96 rows
      {{"FOLIAN_SIM_FB_SMEM_LEN", "3067"}},
      // Panned 2^20 - 47 rows of 4 KiB down: the last visible row ends 2^32
      // bytes on, which in 32 bits is the first row of the mapping.
      {{"FOLIAN_SIM_FB_LINE_LENGTH", "4096"}, {"FOLIAN_SIM_FB_YOFFSET", "1048529"}},
      {{"FOLIAN_SIM_FB_BPP", "16"}, {"FOLIAN_SIM_FB_FIELDS", "12:5,5:6,0:5,0:0"}},
      {{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "16:8,8:8,0:8,28:8"}},
      {{"FOLIAN_FB", "/nonexistent/fb9"}},
  };
  for (auto& c : cases) {
    ScopedEnv env(c);
    StderrCapture err;
    EXPECT_EQ(open(), 0) << c.back().first;
    display_close();
    EXPECT_EQ(count_of(err.text(), "][错误] "), 1u) << err.text();
  }
  // After every refusal a sound panel still opens.
  EXPECT_EQ(open(), 1);
}

TEST_F(Panel, PanningOffsetAndWideLinesPlaceTheOrigin) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_XRES_VIRTUAL", "80"}, {"FOLIAN_SIM_FB_LINE_LENGTH", "96"},
                  {"FOLIAN_SIM_FB_XOFFSET", "8"}, {"FOLIAN_SIM_FB_YOFFSET", "4"},
                  {"FOLIAN_SIM_FB_YRES_VIRTUAL", "52"}, {"FOLIAN_SIM_FB_FILL", "0x33"}}),
            1);
  Frame(60, 48, kBlack).present();
  const size_t origin = 4 * 96 + 8;
  EXPECT_EQ(panel_at(0, 0, 96, 1, origin), 0u);
  EXPECT_EQ(panel_at(59, 47, 96, 1, origin), 0u);
  EXPECT_EQ(panel_at(7, 4, 96), 0x33u);   // left of the visible row
  EXPECT_EQ(panel_at(68, 4, 96), 0x33u);  // right of it
  EXPECT_EQ(panel_at(8, 3, 96), 0x33u);   // above the origin
}

// The shadow and the startup copy cover the visible pixels only, whatever
// padding the driver puts after each line: a one-row panel with 128 MiB
// lines costs no more than its row, and a repaint copies no padding.
TEST_F(Panel, CopiesAreSizedByTheVisiblePixels) {
  rusage before = {}, after = {};
  getrusage(RUSAGE_SELF, &before);
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_YRES", "1"}, {"FOLIAN_SIM_FB_LINE_LENGTH", "134217728"},
                  {"FOLIAN_SIM_FB_SMEM_LEN", "64"}, {"FOLIAN_SIM_FB_FILL", "0x80"}}),
            1);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024L);  // kilobytes
  Frame f(60, 1, kWhite);
  f.set(59, 0, kBlack);
  f.present();
  display_repaint();
  display_close();
  EXPECT_EQ(panel_at(59, 0, 64), 0x80u);  // the startup row is back
  EXPECT_EQ(refreshes(), std::vector<Rect>(3, {0, 0, 60, 1, 1}));
}

// Size and density reported to the engine: from the physical width when it
// is plausible, FOLIAN_DPI above all; the simulated screen's from its size.
TEST_F(Panel, SizeAndDensity) {
  struct Case {
    EnvList env;
    std::vector<double> size_dpi;
  } cases[] = {
      {{{"FOLIAN_SIM_FB_XRES", "1072"}, {"FOLIAN_SIM_FB_WIDTH_MM", "91"}, {"FOLIAN_DPI", "0"}}, {1072, 48, 299.2}},
      {{{"FOLIAN_SIM_FB_WIDTH_MM", "1000"}}, {60, 48, 0}},
      {{{"FOLIAN_DPI", "212"}}, {60, 48, 212}},
      {{{"FOLIAN_FB_FILE", ""}, {"FOLIAN_FB_SIZE", "800"}, {"FOLIAN_DPI", "0"}}, {800, 1648, 0}},
      {{{"FOLIAN_FB_FILE", ""}, {"FOLIAN_FB_SIZE", "40x30"}}, {40, 30, 300}},
  };
  for (auto& c : cases) {
    ASSERT_EQ(open(c.env), 1);
    EXPECT_EQ(std::vector<double>({(double)info_.width, (double)info_.height, std::round(info_.dpi * 10) / 10}),
              c.size_dpi);
  }
}

// Only changed pixels are refreshed, clipped to the screen whatever the
// frame's size and row padding; a frame without rows still gets the first
// full refresh.
TEST_F(Panel, DamageRectanglesAndClipping) {
  ASSERT_EQ(open(), 1);
  Frame zero(60, 48, kBlack);
  zero.present(0);
  zero.present(0);
  EXPECT_EQ(refreshes(), std::vector<Rect>({{0, 0, 60, 48, 1}}));
  EXPECT_EQ(panel_at(0, 0, 64), 255u);

  Frame f(80, 60, kWhite, 80 * 4 + 12);  // taller, wider, padded rows
  f.present();                           // unchanged: nothing
  f.set(7, 3, kBlack);
  f.present();
  f.set(10, 5, 0x808080);
  f.set(3, 20, 0x808080);
  f.present();
  f.set(70, 55, kBlack);  // off screen
  f.present();
  f.set(59, 47, kBlack);
  f.present();
  Frame(60, 10, kBlack).present();  // shorter
  EXPECT_EQ(refreshes(), std::vector<Rect>({{0, 0, 60, 48, 1},
                                            {7, 3, 1, 1, 0},
                                            {3, 5, 8, 16, 0},
                                            {59, 47, 1, 1, 0},
                                            {0, 0, 60, 10, 0}}));
  EXPECT_EQ(panel_at(3, 20, 64), 128u);
  EXPECT_EQ(panel_at(5, 9, 64), 0u);
  EXPECT_EQ(panel_at(5, 10, 64), 255u);
  EXPECT_EQ(panel_at(59, 47, 64), 0u);
  EXPECT_EQ(panel_at(60, 47, 64), 255u);  // the line's padding is never written
}

// Every FOLIAN_FULL_EVERY-th page-like refresh flashes (FOLIAN_FULL_EVERY_NIGHT-th
// in night mode); a requested full refresh restarts the count.  Frames in
// quick succession with FOLIAN_MOTION=auto go out fast and count for nothing.
TEST_F(Panel, PeriodicFullRefresh) {
  struct Case {
    EnvList env;
    const char* steps;  // 'p': a changed frame, 'F': display_full_refresh
    const char* sent;   // 'F' full, 'p' partial, 'f' partial with DU
  } cases[] = {{{{"FOLIAN_FULL_EVERY", "3"}}, "ppppppp", "FppFppF"},
               {{{"FOLIAN_FULL_EVERY", "1"}}, "ppp", "FFF"},
               {{{"FOLIAN_FULL_EVERY", "0"}}, "pppp", "Fppp"},
               {{{"FOLIAN_FULL_EVERY", "3"}}, "ppFppp", "FpFppF"},
               {{{"FOLIAN_FULL_EVERY", "3"}, {"FOLIAN_FULL_EVERY_NIGHT", "2"}, {"FOLIAN_NIGHT", "1"}}, "pppp", "FpFp"},
               {{{"FOLIAN_FULL_EVERY", "2"}, {"FOLIAN_NIGHT", "1"}}, "pppp", "FpFp"},
               {{{"FOLIAN_FULL_EVERY", "2"}, {"FOLIAN_MOTION", "auto"}}, "pppp", "Ffff"}};
  for (auto& c : cases) {
    ASSERT_EQ(open(c.env), 1);
    Frame f(60, 48, kWhite);
    unsigned i = 0;
    for (const char* s = c.steps; *s; ++s, ++i) {
      if (*s == 'F') {
        display_full_refresh();
        continue;
      }
      f.set(i, 0, i % 2 ? kWhite : kBlack);
      f.set(i + 1, 1, 0x404040);
      f.present();
    }
    std::string sent;
    for (auto& u : sim_fb_updates()) sent += u.update_mode ? 'F' : u.waveform == 1 ? 'f' : 'p';
    EXPECT_EQ(sent, c.sent) << c.steps;
  }
}

// While suspended nothing reaches the panel, not even a requested full
// refresh or repaint; the resume shows the last frame with a full refresh, and
// that frame is the base of the next comparison.
TEST_F(Panel, FramesDuringTheScreensaverAppearAtResume) {
  ASSERT_EQ(open(), 1);
  Frame f(60, 48, kWhite);
  f.present();
  display_set_suspended(1);
  EXPECT_TRUE(display_is_suspended());
  f.set(5, 5, kBlack);
  f.present();
  f.set(6, 6, kBlack);
  f.present();
  display_full_refresh();
  display_repaint();
  EXPECT_EQ(panel_at(6, 6, 64), 255u);
  display_set_suspended(0);
  display_set_suspended(0);
  f.present();
  EXPECT_EQ(refreshes(), std::vector<Rect>({{0, 0, 60, 48, 1}, {0, 0, 60, 48, 1}}));
  EXPECT_EQ(sim_fb_updates().back().waveform, 2u);
  EXPECT_EQ(panel_at(5, 5, 64) | panel_at(6, 6, 64), 0u);
}

// A turned frame that comes while the screensaver is up waits for the resume
// as an upright one does: it must not be written over the sleep cover.  Then
// a change of whole panel rows reaches the screen.
TEST_F(Panel, TurnedFramesDuringTheScreensaverAppearAtResume) {
  ASSERT_EQ(open(), 1);
  Frame(60, 48, kWhite).present();
  display_set_suspended(1);
  display_set_orientation(90);
  Frame turned(48, 60, kBlack);
  turned.present();
  EXPECT_EQ(panel_at(0, 0, 64) & panel_at(30, 24, 64) & panel_at(59, 47, 64), 255u);
  display_set_suspended(0);
  turned.present();
  EXPECT_EQ(panel_at(0, 0, 64) | panel_at(30, 24, 64) | panel_at(59, 47, 64), 0u);
  // The application's last column is the panel's last row, changed whole.
  Frame column(48, 60, kBlack);
  for (unsigned y = 0; y < 60; ++y) column.set(47, y, kWhite);
  column.present();
  EXPECT_EQ(panel_at(0, 47, 64) & panel_at(59, 47, 64), 255u);
  EXPECT_EQ(panel_at(0, 46, 64) | panel_at(59, 46, 64), 0u);
  display_set_orientation(0);
}

// A cover whose pixel (k, j) is (k + 3 * j) & 0xFF, centred on the panel
// (negative offsets when it is larger), drawn only while suspended, and taken
// back by the application's frame at the resume.
TEST_F(Panel, SleepCoverCentredAndClipped) {
  struct Probe {
    unsigned x, y;
    uint32_t want;
  };
  struct Case {
    EnvList env;
    unsigned bytes, w, h, rows_in_file;
    std::vector<Probe> probes;
  } cases[] = {
      // 70 wide on 60: x0 = -5; 10 tall on 48: y0 = 19; inverted panel.
      {{{"FOLIAN_SIM_FB_GRAYSCALE", "2"}}, 1, 70, 10, 10,
       {{0, 18, 0x00}, {0, 19, 5 ^ 0xFF}, {59, 19, 64 ^ 0xFF}, {0, 28, 32 ^ 0xFF}, {0, 29, 0x00}}},
      // 33 wide: x0 = 13 (odd); 50 tall: y0 = -1, but the file has 20 rows.
      {{}, 1, 33, 50, 20,
       {{12, 0, 0xFF}, {13, 0, 3}, {45, 0, 35}, {46, 0, 0xFF}, {13, 18, 57}, {13, 19, 0xFF}}},
      // 194 wide on a 16-bit panel: x0 = -67; grays 67 and 126 fill every field.
      {{{"FOLIAN_SIM_FB_BPP", "16"}}, 2, 194, 1, 1, {{0, 22, 0xFFFF}, {0, 23, 0x4208}, {59, 23, 0x7BEF}}},
  };
  for (auto& c : cases) {
    ASSERT_EQ(open(c.env), 1);
    Frame(60, 48, kBlack).present();
    display_set_suspended(1);
    std::vector<uint8_t> cover;
    for (unsigned j = 0; j < c.rows_in_file; ++j)
      for (unsigned k = 0; k < c.w; ++k) cover.push_back((uint8_t)(k + 3 * j));
    display_show_sleep_cover(write_file("cover.raw", cover).c_str(), c.w, c.h);
    for (auto& p : c.probes)
      EXPECT_EQ(panel_at(p.x, p.y, 64 * c.bytes, c.bytes), p.want) << c.w << "x" << c.h << " at " << p.x << "," << p.y;
    EXPECT_EQ(refreshes(), std::vector<Rect>(2, {0, 0, 60, 48, 1}));
    display_set_suspended(0);
    bool inverted = c.bytes == 1 && !c.env.empty();
    EXPECT_EQ(panel_at(c.probes[1].x, c.probes[1].y, 64 * c.bytes, c.bytes), inverted ? 0xFFu : 0u);
  }
}

TEST_F(Panel, NoCoverWhenAwakeEmptyOrMissing) {
  ASSERT_EQ(open(), 1);
  Frame(60, 48, kBlack).present();
  std::string path = write_file("cover8.raw", std::vector<uint8_t>(64, 0x80));
  StderrCapture err;
  display_show_sleep_cover(path.c_str(), 8, 8);  // not suspended
  display_show_sleep_cover(path.c_str(), 0, 8);  // not suspended: silent too
  display_set_suspended(1);
  display_show_sleep_cover(path.c_str(), 0, 8);
  display_show_sleep_cover(path.c_str(), 8, 0);
  display_show_sleep_cover("/nonexistent/cover.raw", 8, 8);
  EXPECT_EQ(count_of(err.text(), "][错误] "), 3u) << err.text();
  EXPECT_EQ(sim_fb_updates().size(), 1u);
  EXPECT_EQ(panel_at(0, 0, 64), 0u);
}

// The screen as it was before the program started comes back at close with
// a full refresh, unless the screen is to be kept or the framework stopped.
TEST_F(Panel, StartupScreenRestoredAtClose) {
  struct Case {
    EnvList env;
    bool restores;
  } cases[] = {{{}, true},
               {{{"FOLIAN_KEEP_SCREEN", ""}}, false},
               {{{"FOLIAN_FRAMEWORK_STOPPED", "true"}}, false},
               {{{"FOLIAN_FRAMEWORK_STOPPED", "0"}}, true}};
  for (auto& c : cases) {
    ScopedEnv env(c.env);
    ASSERT_EQ(open({{"FOLIAN_SIM_FB_FILL", "0x80"}}), 1);
    Frame(60, 48, kBlack).present();
    display_close();
    EXPECT_EQ(panel_at(1, 1, 64), c.restores ? 0x80u : 0u) << c.env.size();
    std::vector<Rect> want = {{0, 0, 60, 48, 1}};
    if (c.restores) want.push_back({0, 0, 60, 48, 1});
    EXPECT_EQ(refreshes(), want) << c.env.size();
  }
}

// Each refresh of the simulated screen is dumped as a numbered PGM file; the
// sleep cover goes under the number the next frame reuses.
TEST_F(Panel, SimulatedScreenDumpsNumberedPgmFiles) {
  std::string dir = ::testing::TempDir() + "/frames";
  mkdir(dir.c_str(), 0755);
  remove((dir + "/frame_0002.pgm").c_str());
  ASSERT_EQ(open({{"FOLIAN_FB_FILE", ""}, {"FOLIAN_FB_SIZE", "40x30"}, {"FOLIAN_FB_DUMP_DIR", dir.c_str()}}), 1);
  Frame f(40, 30, kWhite);
  f.present();
  f.rect(2, 3, 4, 5, kBlack);
  f.present();
  display_set_suspended(1);
  display_show_sleep_cover(write_file("sim-cover.raw", {0x10}).c_str(), 1, 1);

  const std::string header = "P5\n40 30\n255\n";
  std::vector<std::string> files;
  for (const char* name : {"/frame_0000.pgm", "/frame_0001.pgm", "/frame_0002.pgm"}) {
    std::ifstream in(dir + name, std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ASSERT_EQ(files.back().size(), header.size() + 1200) << name;
    EXPECT_EQ(files.back().substr(0, header.size()), header);
  }
  auto pixel = [&](int file, unsigned x, unsigned y) { return (uint8_t)files[file][header.size() + y * 40 + x]; };
  EXPECT_EQ(std::vector<int>({pixel(0, 2, 3), pixel(1, 2, 3), pixel(1, 2, 8), pixel(2, 19, 14), pixel(2, 0, 0)}),
            std::vector<int>({255, 0, 255, 0x10, 255}));

  // Night mode, which no driver does for the simulated screen, from the
  // start and switched off: a full refresh of its own, dumped.
  ASSERT_EQ(open({{"FOLIAN_FB_FILE", ""}, {"FOLIAN_FB_SIZE", "40x30"}, {"FOLIAN_FB_DUMP_DIR", dir.c_str()},
                  {"FOLIAN_NIGHT", "true"}}),
            1);
  f.present();
  display_set_night(false);
  files.clear();
  for (const char* name : {"/frame_0000.pgm", "/frame_0001.pgm"}) {
    std::ifstream in(dir + name, std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(std::vector<int>({pixel(0, 2, 3), pixel(0, 2, 8), pixel(1, 2, 3), pixel(1, 2, 8)}),
            std::vector<int>({255, 0, 0, 255}));
}

}  // namespace
