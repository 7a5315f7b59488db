// The display module on the stand-in framebuffer (EPDC kind mtk, found by
// probing at the first refresh) and on the simulated screen.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "display.h"
#include "eink.h"
#include "screen_fixture.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000;

class Panel : public ::testing::Test {
 protected:
  void TearDown() override { display_close(); }

  // Opens the stand-in panel with `env` on top of a 64x48 8-bit default.
  int open(std::initializer_list<std::pair<const char*, const char*>> env = {}) {
    env_.set("FOLIAN_SIM_FB_XRES", "64");
    env_.set("FOLIAN_SIM_FB_YRES", "48");
    for (auto& [k, v] : env) env_.set(k, v);
    return display_open(&info_);
  }
  std::vector<SimUpdate> updates() { return sim_fb_updates(); }

  ScopedEnv env_{};
  DisplayInfo info_{};
};

TEST(ConvertRow, StoresOnlyChangesAndReportsTheirColumns) {
  for (unsigned n : {1u, 17u, 23u}) {
    std::vector<uint8_t> src(n * 4, 0xFF), dst(n, 0xFF);
    unsigned first = 99, last = 99;
    EXPECT_FALSE(display_convert_row8(src.data(), dst.data(), n, 0, &first, &last));
    EXPECT_EQ(first, 99u);
    src[(n - 1) * 4 + 1] = 0;  // green off in the last pixel
    if (n > 2) src[4 * 1 + 2] = 0;  // red off in pixel 1
    ASSERT_TRUE(display_convert_row8(src.data(), dst.data(), n, 0, &first, &last));
    EXPECT_EQ(first, n > 2 ? 1u : n - 1);
    EXPECT_EQ(last, n - 1);
    EXPECT_EQ(dst[n - 1], (29 * 255 + 77 * 255) >> 8);
    if (n > 2) {
      EXPECT_EQ(dst[1], (29 * 255 + 150 * 255) >> 8);
    }
    EXPECT_EQ(dst[0], n > 2 ? 255 : dst[0]);
  }
}

TEST_F(Panel, GrayLevelsFollowTheWeightsAndIgnoreAlpha) {
  ASSERT_EQ(open(), 1);
  Frame f(64, 48, kWhite);
  f.set(0, 0, 0xFF0000);
  f.set(1, 0, 0x00FF00);
  f.set(2, 0, 0x0000FF);
  f.set(3, 0, kBlack);
  f.set(4, 0, 0x808080);
  f.present();
  PanelView p(0, 64);
  EXPECT_EQ(p.at(0, 0), 76);
  EXPECT_EQ(p.at(1, 0), 149);
  EXPECT_EQ(p.at(2, 0), 28);
  EXPECT_EQ(p.at(3, 0), 0);
  EXPECT_EQ(p.at(4, 0), 128);
  EXPECT_EQ(p.at(5, 0), 255);
}

TEST_F(Panel, InvertedPanelTurnsWhiteToZero) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_GRAYSCALE", "2"}}), 1);
  Frame f(64, 48, kWhite);
  f.set(1, 1, kBlack);
  f.present();
  PanelView p(0, 64);
  EXPECT_EQ(p.at(0, 0), 0x00);
  EXPECT_EQ(p.at(1, 1), 0xFF);
}

TEST_F(Panel, SixteenBitFieldsShortenEachLevel) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_BPP", "16"}}), 1);
  Frame f(64, 48, kWhite);
  f.set(1, 0, 0xFF0000);
  f.set(2, 0, 0x00FF00);
  f.set(3, 0, 0x808080);
  f.present();
  PanelView p(0, 128);
  EXPECT_EQ(p.at16(0, 0), 0xFFFF);
  EXPECT_EQ(p.at16(1, 0), 0xF800);
  EXPECT_EQ(p.at16(2, 0), 0x07E0);
  EXPECT_EQ(p.at16(3, 0), 0x8410);
}

TEST_F(Panel, ThirtyTwoBitFieldsLongerThanEightBitsAreScaledUp) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "20:10,10:10,0:10,30:2"}}), 1);
  Frame f(64, 48, kWhite);
  f.set(1, 0, 0xFF0000);
  f.set(2, 0, 0x000080);
  f.set(3, 0, kBlack);
  f.present();
  PanelView p(0, 256);
  EXPECT_EQ(p.at32(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(p.at32(1, 0), 0xFFF00000u);
  EXPECT_EQ(p.at32(2, 0), 0xC0000202u);  // 0x80 repeated into ten bits
  EXPECT_EQ(p.at32(3, 0), 0xC0000000u);  // transparency stays opaque
}

TEST_F(Panel, ThirtyTwoBitShortFieldsWithoutTransparency) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "16:5,8:6,0:5,24:0"}}), 1);
  Frame f(64, 48, kWhite);
  f.set(1, 0, 0x00FF00);
  f.present();
  PanelView p(0, 256);
  EXPECT_EQ(p.at32(0, 0), 0x001F3F1Fu);
  EXPECT_EQ(p.at32(1, 0), 0x00003F00u);
}

TEST_F(Panel, UnsoundGeometryIsRefusedAtOpen) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> env;
    const char* line;
  } cases[] = {
      {{{"FOLIAN_SIM_FB_BPP", "24"}}, "不支持 24 位色深的帧缓冲\n"},
      {{{"FOLIAN_SIM_FB_LINE_LENGTH", "0"}, {"FOLIAN_SIM_FB_SMEM_LEN", "3072"}}, "帧缓冲行宽 0 小于一行可见像素的 64 字节\n"},
      {{{"FOLIAN_SIM_FB_BPP", "16"}, {"FOLIAN_SIM_FB_LINE_LENGTH", "127"}},
       "帧缓冲行宽 127 小于一行可见像素的 128 字节\n"},
      {{{"FOLIAN_SIM_FB_YOFFSET", "1"}}, "帧缓冲可见区域超出映射：需要 3136 字节，映射只有 3072 字节\n"},
      {{{"FOLIAN_SIM_FB_SMEM_LEN", "3071"}}, "映射只有 3071 字节\n"},
      // 2^28-byte rows: 48 of them wrap to zero in 32 bits.
      {{{"FOLIAN_SIM_FB_LINE_LENGTH", "268435456"}, {"FOLIAN_SIM_FB_SMEM_LEN", "65536"}},
       "需要 12616466496 字节，映射只有 65536 字节\n"},
      {{{"FOLIAN_SIM_FB_BPP", "16"}, {"FOLIAN_SIM_FB_FIELDS", "12:5,5:6,0:5,0:0"}},
       "帧缓冲颜色位域 red（偏移 12，长度 5）超出 16 位像素\n"},
      {{{"FOLIAN_SIM_FB_BPP", "32"}, {"FOLIAN_SIM_FB_FIELDS", "16:8,8:8,0:8,28:8"}},
       "帧缓冲颜色位域 transp（偏移 28，长度 8）超出 32 位像素\n"},
  };
  for (auto& c : cases) {
    ScopedEnv env({});
    for (auto& [k, v] : c.env) env.set(k, v);
    StderrCapture err;
    EXPECT_EQ(open(), 0) << c.line;
    display_close();
    EXPECT_NE(err.text().find(c.line), std::string::npos) << err.text();
  }
  // After every refusal a sound panel still opens.
  EXPECT_EQ(open(), 1);
}

TEST_F(Panel, PanningOffsetAndWideLinesPlaceTheOrigin) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_XRES_VIRTUAL", "80"},
                  {"FOLIAN_SIM_FB_LINE_LENGTH", "96"},
                  {"FOLIAN_SIM_FB_XOFFSET", "8"},
                  {"FOLIAN_SIM_FB_YOFFSET", "4"},
                  {"FOLIAN_SIM_FB_YRES_VIRTUAL", "52"},
                  {"FOLIAN_SIM_FB_FILL", "0x33"}}),
            1);
  Frame f(64, 48, kBlack);
  f.present();
  PanelView p(4 * 96 + 8, 96);
  EXPECT_EQ(p.at(0, 0), 0);
  EXPECT_EQ(p.at(63, 47), 0);
  EXPECT_EQ(p.mem[4 * 96 + 7], 0x33);   // left of the visible row
  EXPECT_EQ(p.mem[4 * 96 + 72], 0x33);  // right of it
  EXPECT_EQ(p.mem[3 * 96 + 8], 0x33);   // above the origin
}

TEST_F(Panel, DamageRectangleOfEachFrame) {
  ASSERT_EQ(open(), 1);
  Frame f(64, 48, kWhite);
  f.present();
  f.present();  // unchanged: nothing
  f.set(7, 3, kBlack);
  f.present();
  f.set(10, 5, 0x808080);
  f.set(3, 20, 0x808080);
  f.present();
  auto u = updates();
  ASSERT_EQ(u.size(), 3u);
  EXPECT_EQ(u[0].update_mode, 1u);
  EXPECT_EQ(u[0].width, 64u);
  EXPECT_EQ(u[0].height, 48u);
  EXPECT_EQ(u[1].update_mode, 0u);
  EXPECT_EQ(std::vector<uint32_t>({u[1].left, u[1].top, u[1].width, u[1].height}),
            std::vector<uint32_t>({7, 3, 1, 1}));
  EXPECT_EQ(std::vector<uint32_t>({u[2].left, u[2].top, u[2].width, u[2].height}),
            std::vector<uint32_t>({3, 5, 8, 16}));
  PanelView p(0, 64);
  EXPECT_EQ(p.at(7, 3), 0);
  EXPECT_EQ(p.at(3, 20), 128);
}

TEST_F(Panel, SourceLargerOrSmallerThanTheScreen) {
  ASSERT_EQ(open(), 1);
  Frame big(80, 60, kWhite, 80 * 4 + 12);  // taller, wider, padded rows
  big.present();
  big.set(70, 55, kBlack);  // off screen
  big.present();
  EXPECT_EQ(updates().size(), 1u);
  big.set(63, 47, kBlack);
  big.present();
  auto u = updates();
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(std::vector<uint32_t>({u[1].left, u[1].top, u[1].width, u[1].height}),
            std::vector<uint32_t>({63, 47, 1, 1}));

  Frame shorter(64, 10, kBlack);
  shorter.present();
  u = updates();
  ASSERT_EQ(u.size(), 3u);
  EXPECT_EQ(std::vector<uint32_t>({u[2].left, u[2].top, u[2].width, u[2].height}),
            std::vector<uint32_t>({0, 0, 64, 10}));
  PanelView p(0, 64);
  EXPECT_EQ(p.at(5, 9), 0);
  EXPECT_EQ(p.at(5, 10), 255);
  EXPECT_EQ(p.at(63, 47), 0);
}

TEST_F(Panel, ZeroRowFrameStillGetsTheFirstFullRefresh) {
  ASSERT_EQ(open(), 1);
  Frame f(64, 48, kBlack);
  f.present(0);
  f.present(0);
  auto u = updates();
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].update_mode, 1u);
  EXPECT_EQ(PanelView(0, 64).at(0, 0), 255);
}

std::vector<uint32_t> modes_of_changing_frames(int frames) {
  Frame f(64, 48, kWhite);
  for (int i = 0; i < frames; ++i) {
    f.set((unsigned)i, 0, i % 2 ? kWhite : kBlack);
    f.set((unsigned)i + 1, 1, 0x404040);
    f.present();
  }
  std::vector<uint32_t> modes;
  for (auto& u : sim_fb_updates()) modes.push_back(u.update_mode);
  return modes;
}

TEST_F(Panel, EveryThirdRefreshIsFull) {
  ASSERT_EQ(open({{"FOLIAN_FULL_EVERY", "3"}}), 1);
  EXPECT_EQ(modes_of_changing_frames(7), std::vector<uint32_t>({1, 0, 0, 1, 0, 0, 1}));
}

TEST_F(Panel, FullEveryOneAndZero) {
  ASSERT_EQ(open({{"FOLIAN_FULL_EVERY", "1"}}), 1);
  EXPECT_EQ(modes_of_changing_frames(3), std::vector<uint32_t>({1, 1, 1}));
  display_close();
  ASSERT_EQ(open({{"FOLIAN_FULL_EVERY", "0"}}), 1);
  EXPECT_EQ(modes_of_changing_frames(4), std::vector<uint32_t>({1, 0, 0, 0}));
}

TEST_F(Panel, RequestedFullRefreshRestartsTheCount) {
  ASSERT_EQ(open({{"FOLIAN_FULL_EVERY", "3"}, {"FOLIAN_LOG_FRAMES", "1"}}), 1);
  Frame f(64, 48, kWhite);
  f.present();
  f.set(1, 1, kBlack);
  f.present();
  StderrCapture err;
  display_full_refresh();
  f.set(2, 2, kBlack);
  f.present();
  f.set(3, 3, kBlack);
  f.present();
  f.set(4, 4, kBlack);
  f.present();
  std::vector<uint32_t> modes;
  for (auto& u : updates()) modes.push_back(u.update_mode);
  EXPECT_EQ(modes, std::vector<uint32_t>({1, 0, 1, 0, 0, 1}));
  std::string log = err.text();
  EXPECT_NE(log.find("] 整屏全刷\n"), std::string::npos);
  EXPECT_NE(log.find("] 帧 2：局刷 (2,2) 1x1 AUTO，转换 "), std::string::npos) << log;
  EXPECT_NE(log.find("] 帧 4：全刷 (0,0) 64x48 GC16，转换 "), std::string::npos) << log;
}

TEST_F(Panel, FramesDuringTheScreensaverAppearAtResume) {
  ASSERT_EQ(open({{"FOLIAN_LOG_FRAMES", "1"}}), 1);
  Frame f(64, 48, kWhite);
  f.present();
  display_set_suspended(1);
  EXPECT_TRUE(display_is_suspended());
  f.set(5, 5, kBlack);
  f.present();
  f.set(6, 6, kBlack);
  f.present();
  StderrCapture err;
  display_full_refresh();
  display_repaint();
  EXPECT_NE(err.text().find("] 整屏全刷（屏保中，跳过）\n"), std::string::npos);
  EXPECT_EQ(updates().size(), 1u);
  EXPECT_EQ(PanelView(0, 64).at(6, 6), 255);

  display_set_suspended(0);
  display_set_suspended(0);
  auto u = updates();
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[1].update_mode, 1u);
  EXPECT_EQ(u[1].waveform, 2u);
  PanelView p(0, 64);
  EXPECT_EQ(p.at(5, 5), 0);
  EXPECT_EQ(p.at(6, 6), 0);
  // The shown frame is the base of the next comparison.
  f.present();
  EXPECT_EQ(updates().size(), 2u);
}

class Cover : public Panel {
 protected:
  // A cover whose pixel (k, j) is (k + 3 * j) & 0xFF, `rows_in_file` rows long.
  std::string write_cover(unsigned w, unsigned rows_in_file) {
    std::string path = ::testing::TempDir() + "/cover.raw";
    FILE* f = fopen(path.c_str(), "wb");
    for (unsigned j = 0; j < rows_in_file; ++j)
      for (unsigned k = 0; k < w; ++k) fputc((int)((k + 3 * j) & 0xFF), f);
    fclose(f);
    return path;
  }
};

TEST_F(Cover, CentredWithNegativeOffsetOnAnInvertedPanel) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_GRAYSCALE", "2"}}), 1);
  Frame(64, 48, kBlack).present();
  display_set_suspended(1);
  // 70 wide on 64: x0 = -3; 10 tall on 48: y0 = 19.
  std::string path = write_cover(70, 10);
  StderrCapture err;
  display_show_sleep_cover(path.c_str(), 70, 10);
  EXPECT_NE(err.text().find("] 画锁屏图 70x10\n"), std::string::npos);
  PanelView p(0, 64);
  EXPECT_EQ(p.at(0, 18), 0x00);  // white on an inverted panel
  EXPECT_EQ(p.at(0, 19), 3 ^ 0xFF);
  EXPECT_EQ(p.at(63, 19), 66 ^ 0xFF);
  EXPECT_EQ(p.at(0, 28), (3 + 27) ^ 0xFF);
  EXPECT_EQ(p.at(0, 29), 0x00);
  auto u = updates();
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[1].update_mode, 1u);
  // The application's frame comes back at the resume.
  display_set_suspended(0);
  EXPECT_EQ(PanelView(0, 64).at(0, 19), 0xFF);
}

TEST_F(Cover, OddOffsetTallCoverAndShortFile) {
  ASSERT_EQ(open(), 1);
  Frame(64, 48, kBlack).present();
  display_set_suspended(1);
  // 33 wide: x0 = 15; 50 tall: y0 = -1, but the file holds only 20 rows.
  std::string path = write_cover(33, 20);
  display_show_sleep_cover(path.c_str(), 33, 50);
  PanelView p(0, 64);
  EXPECT_EQ(p.at(14, 0), 0xFF);
  EXPECT_EQ(p.at(15, 0), 3);  // cover row 1
  EXPECT_EQ(p.at(47, 0), 32 + 3);
  EXPECT_EQ(p.at(48, 0), 0xFF);
  EXPECT_EQ(p.at(15, 18), 3 * 19);
  EXPECT_EQ(p.at(15, 19), 0xFF);  // past the end of the file
}

TEST_F(Cover, SixteenBitCoverFillsEveryField) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_BPP", "16"}}), 1);
  Frame(64, 48, kBlack).present();
  display_set_suspended(1);
  std::string path = ::testing::TempDir() + "/gray.raw";
  FILE* f = fopen(path.c_str(), "wb");
  fputc(0x80, f);
  fclose(f);
  display_show_sleep_cover(path.c_str(), 1, 1);
  PanelView p(0, 128);
  EXPECT_EQ(p.at16(31, 23), 0x8410);
  EXPECT_EQ(p.at16(0, 0), 0xFFFF);
}

TEST_F(Cover, NothingIsDrawnWhenAwakeEmptyOrMissing) {
  ASSERT_EQ(open(), 1);
  Frame(64, 48, kBlack).present();
  std::string path = write_cover(8, 8);
  StderrCapture err;
  display_show_sleep_cover(path.c_str(), 8, 8);  // not suspended
  display_set_suspended(1);
  display_show_sleep_cover(path.c_str(), 0, 8);
  display_show_sleep_cover(path.c_str(), 8, 0);
  display_show_sleep_cover("/nonexistent/cover.raw", 8, 8);
  std::string log = err.text();
  EXPECT_EQ(count_of(log, "画锁屏图"), 0u);
  EXPECT_EQ(count_of(log, "锁屏图尺寸"), 2u);
  EXPECT_NE(log.find("][错误] 打不开锁屏图 /nonexistent/cover.raw\n"), std::string::npos);
  EXPECT_EQ(updates().size(), 1u);
  EXPECT_EQ(PanelView(0, 64).at(0, 0), 0);
}

TEST_F(Panel, StartupScreenIsRestoredAtClose) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_FILL", "0x80"}}), 1);
  Frame(64, 48, kBlack).present();
  EXPECT_EQ(PanelView(0, 64).at(10, 10), 0);
  StderrCapture err;
  display_close();
  EXPECT_NE(err.text().find("] 已还原启动前的屏幕内容\n"), std::string::npos);
  EXPECT_EQ(PanelView(0, 64).at(10, 10), 0x80);
  auto u = updates();
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[1].update_mode, 1u);
  EXPECT_EQ(u[1].width, 64u);
}

TEST_F(Panel, RestoreIsSuppressedByKeepScreenOrStoppedFramework) {
  struct Case {
    const char* name;
    const char* value;
    bool restores;
  } cases[] = {{"FOLIAN_KEEP_SCREEN", "", false},
               {"FOLIAN_FRAMEWORK_STOPPED", "1", false},
               {"FOLIAN_FRAMEWORK_STOPPED", "true", true}};
  for (auto& c : cases) {
    ScopedEnv env({{c.name, c.value}});
    ASSERT_EQ(open({{"FOLIAN_SIM_FB_FILL", "0x80"}}), 1);
    Frame(64, 48, kBlack).present();
    display_close();
    EXPECT_EQ(PanelView(0, 64).at(1, 1), c.restores ? 0x80 : 0) << c.name << "=" << c.value;
    EXPECT_EQ(updates().size(), c.restores ? 2u : 1u) << c.name << "=" << c.value;
  }
}

TEST_F(Panel, DensityFromThePhysicalWidth) {
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_XRES", "1072"}, {"FOLIAN_SIM_FB_YRES", "4"},
                  {"FOLIAN_SIM_FB_WIDTH_MM", "91"}, {"FOLIAN_DPI", "0"}}),
            1);
  EXPECT_NEAR(info_.dpi, 299.2, 0.05);
  display_close();
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_WIDTH_MM", "1000"}}), 1);
  EXPECT_EQ(info_.dpi, 0);
  display_close();
  ASSERT_EQ(open({{"FOLIAN_DPI", "212"}}), 1);
  EXPECT_EQ(info_.dpi, 212);
}

TEST_F(Panel, OpenLogLineNamesTheDevice) {
  StderrCapture err;
  ASSERT_EQ(open({{"FOLIAN_SIM_FB_PATH", "/dev/fb7"}, {"FOLIAN_FB", "/dev/fb7"},
                  {"FOLIAN_SIM_FB_ROTATE", "3"}, {"FOLIAN_SIM_FB_YRES_VIRTUAL", "96"}}),
            1);
  EXPECT_NE(err.text().find("] 帧缓冲 /dev/fb7: 64x48（虚拟 64x96，偏移 0,0），8 位，行宽 64，"
                            "grayscale=1，旋转=3，物理宽 0mm\n"),
            std::string::npos);
  display_close();
  StderrCapture err2;
  ASSERT_EQ(open({{"FOLIAN_FB", "/nonexistent/fb9"}}), 0);
  EXPECT_NE(err2.text().find("][错误] 打开 /nonexistent/fb9 失败: No such file or directory\n"),
            std::string::npos);
}

class Simulated : public ::testing::Test {
 protected:
  void TearDown() override { display_close(); }
  ScopedEnv env_{{"FOLIAN_FB_FILE", ""}};
  DisplayInfo info_{};
};

TEST_F(Simulated, DumpsEachRefreshAsNumberedPgm) {
  std::string dir = ::testing::TempDir() + "/frames";
  mkdir(dir.c_str(), 0755);
  remove((dir + "/frame_0002.pgm").c_str());
  ScopedEnv env({{"FOLIAN_FB_SIZE", "40x30"}, {"FOLIAN_FB_DUMP_DIR", dir.c_str()}});
  StderrCapture err;
  ASSERT_EQ(display_open(&info_), 1);
  EXPECT_EQ(info_.width, 40u);
  EXPECT_EQ(info_.height, 30u);
  EXPECT_EQ(info_.dpi, 300);
  Frame f(40, 30, kWhite);
  f.present();
  f.rect(2, 3, 4, 5, kBlack);
  f.present();
  std::string log = err.text();
  EXPECT_NE(log.find("] 假屏模式 40x30，帧导出到 " + dir + "\n"), std::string::npos);
  EXPECT_NE(log.find("] 第 0 帧：整屏 刷新 (0,0) 40x30\n"), std::string::npos);
  EXPECT_NE(log.find("] 第 1 帧：局部 刷新 (2,3) 4x5\n"), std::string::npos);
  std::string first = read_file(dir + "/frame_0000.pgm");
  std::string second = read_file(dir + "/frame_0001.pgm");
  std::string header = "P5\n40 30\n255\n";
  ASSERT_EQ(first.size(), header.size() + 1200);
  EXPECT_EQ(first.substr(0, header.size()), header);
  EXPECT_EQ((uint8_t)first[header.size() + 3 * 40 + 2], 255);
  EXPECT_EQ((uint8_t)second[header.size() + 3 * 40 + 2], 0);
  EXPECT_EQ((uint8_t)second[header.size() + 8 * 40 + 2], 255);
  EXPECT_TRUE(read_file(dir + "/frame_0002.pgm").empty());

  // The cover is dumped under the current number, which the next frame reuses.
  display_set_suspended(1);
  std::string cover = ::testing::TempDir() + "/sim-cover.raw";
  FILE* c = fopen(cover.c_str(), "wb");
  fputc(0x10, c);
  fclose(c);
  display_show_sleep_cover(cover.c_str(), 1, 1);
  EXPECT_EQ((uint8_t)read_file(dir + "/frame_0002.pgm")[header.size() + 14 * 40 + 19], 0x10);
}

TEST_F(Simulated, SizeDensityAndNoDumps) {
  {
    ScopedEnv env({{"FOLIAN_FB_SIZE", "800"}, {"FOLIAN_DPI", "0"}});
    StderrCapture err;
    ASSERT_EQ(display_open(&info_), 1);
    EXPECT_EQ(info_.width, 800u);
    EXPECT_EQ(info_.height, 1648u);
    EXPECT_EQ(info_.dpi, 0);
    EXPECT_NE(err.text().find("] 假屏模式 800x1648，帧导出到 （不导出）\n"), std::string::npos);
    display_close();
  }
  for (const char* size : {"0x10", "16x0", "4294967295x4294967295"}) {
    ScopedEnv env({{"FOLIAN_FB_SIZE", size}});
    StderrCapture err;
    EXPECT_EQ(display_open(&info_), 0) << size;
    EXPECT_NE(err.text().find("][错误] 假屏尺寸 "), std::string::npos) << size;
    display_close();
  }
}

}  // namespace
