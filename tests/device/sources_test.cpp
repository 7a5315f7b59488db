// The sources' scales and readings, and a sysfs reader without a warm light
// (the tree is built by the test and reached through the sim/paths objects
// linked in).
#include "sources.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct ScaleCase {
  int max, percent, native, back;
};

TEST(SourcesScale, DaemonAndSysfsRanges) {
  // The daemon's 24 steps, and sysfs ranges of 10, 100 and 255.
  const ScaleCase cases[] = {
      {24, 0, 0, 0},     {24, 100, 24, 100}, {24, 50, 12, 50},    {24, 51, 12, 50},
      {24, 30, 7, 29},   {24, 3, 1, 4},      {24, 2, 0, 0},       {10, 30, 3, 30},
      {10, 35, 4, 40},   {100, 37, 37, 37},  {255, 51, 130, 51},  {255, 50, 128, 50},
      {255, 1, 3, 1},    {1, 49, 0, 0},      {1, 50, 1, 100},
  };
  for (const ScaleCase& c : cases) {
    EXPECT_EQ(native_from_percent(c.percent, c.max), c.native) << c.max << " " << c.percent;
    EXPECT_EQ(percent_from_native(c.native, c.max), c.back) << c.max << " " << c.native;
  }
  // Out of range on either side is clamped; no range reads as unknown.
  EXPECT_EQ(percent_from_native(-3, 24), 0);
  EXPECT_EQ(percent_from_native(30, 24), 100);
  EXPECT_EQ(percent_from_native(5, 0), -1);
  // Monotonic, so a brighter choice is never a darker light.
  for (int max : {1, 10, 24, 255, 4095})
    for (int p = 1; p <= 100; p++)
      EXPECT_LE(native_from_percent(p - 1, max), native_from_percent(p, max)) << max << " " << p;
}

struct StatusCase {
  int capacity;
  const char* status;
  int level;
  bool charging;
  const char* state;
};

TEST(SourcesBattery, SysfsStatusWordsAndDaemonValues) {
  const StatusCase sysfs[] = {
      {64, "Charging\n", 64, true, "charging"},      {64, "Discharging\n", 64, false, "discharging"},
      {100, "Full\n", 100, false, "full"},           {97, "Not charging\n", 97, false, "discharging"},
      {50, "Unknown\n", 50, false, "unknown"},       {50, "", 50, false, "unknown"},
      {50, "charging", 50, true, "charging"},        {50, "Chargingx\n", 50, false, "unknown"},
      {101, "Full", 100, false, "full"},             {-1, "Charging\n", -1, true, "charging"},
  };
  for (const StatusCase& c : sysfs) {
    BatteryReading b = battery_from_sysfs(c.capacity, c.status);
    EXPECT_EQ(b.level, c.level) << c.status;
    EXPECT_EQ(b.charging, c.charging) << c.status;
    EXPECT_STREQ(b.state, c.state) << c.status;
  }
  // battLevel, isCharging (-1: unreadable).
  const StatusCase daemon[] = {
      {80, "0", 80, false, "discharging"}, {80, "1", 80, true, "charging"},
      {-1, "0", -1, false, "unknown"},     {150, "0", -1, false, "unknown"},
      {50, "-1", 50, false, "unknown"},
  };
  for (const StatusCase& c : daemon) {
    BatteryReading b = battery_from_daemon(c.capacity, atoi(c.status));
    EXPECT_EQ(b.level, c.level) << c.capacity << " " << c.status;
    EXPECT_EQ(b.charging, c.charging) << c.capacity << " " << c.status;
    EXPECT_STREQ(b.state, c.state) << c.capacity << " " << c.status;
  }
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::filesystem::path& p, const char* text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

// A reader whose one backlight has no warm LEDs: warmth is missing, and a
// call that asks for it changes nothing.
TEST(SourcesSysfs, MissingWarmthChangesNothing) {
  char tmpl[] = "/tmp/folian-sysfs-XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  std::filesystem::path root = tmpl;
  put(root / "class/backlight/lcd/brightness", "10\n");
  put(root / "class/backlight/lcd/max_brightness", "20\n");
  setenv("FOLIAN_SIM_SYSFS", tmpl, 1);
  unsetenv("FOLIAN_SIM_LIPC_BIN");
  sources_open();
  DeviceCapabilities caps = sources_capabilities();
  EXPECT_TRUE(caps.frontlight);
  EXPECT_FALSE(caps.warmth);
  EXPECT_FALSE(caps.battery);
  EXPECT_EQ(sources_frontlight().brightness, 50);
  EXPECT_EQ(sources_frontlight().warmth, -1);
  EXPECT_FALSE(sources_set_frontlight(80, 30));
  EXPECT_FALSE(sources_set_frontlight(-1, 30));
  EXPECT_EQ(slurp(root / "class/backlight/lcd/brightness"), "10\n");
  EXPECT_TRUE(sources_set_frontlight(33, -1));
  EXPECT_EQ(slurp(root / "class/backlight/lcd/brightness"), "7");
  EXPECT_EQ(sources_frontlight().brightness, 33);
  // Changed by someone else: read on the scale again.
  put(root / "class/backlight/lcd/brightness", "5\n");
  EXPECT_EQ(sources_frontlight().brightness, 25);
  std::filesystem::remove_all(root);
}

}  // namespace
