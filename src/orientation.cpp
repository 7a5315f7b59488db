// The application's orientation on the panel.
#include "orientation.h"

#include <string.h>

#include "log.h"
#include "settings.h"

namespace {

unsigned g_panel_width = 0;
unsigned g_panel_height = 0;
int g_start = 0;
int g_degrees = 0;
OrientationHandler g_on_change = nullptr;

const char* const kDegreeNames[] = {"0", "90", "180", "270"};

// The framework's orientations in its own order: each is reached by turning
// the device a quarter counter-clockwise from the one before, so the picture
// must turn a quarter clockwise on the panel to stay upright for the reader.
const char* const kDeviceOrientations[] = {"portraitUp", "landscapeLeft", "portraitDown",
                                           "landscapeRight"};

bool valid(int degrees) { return degrees >= 0 && degrees < 360 && degrees % 90 == 0; }

}  // namespace

int orientation_read_settings() {
  return setting_choice("FOLIAN_ROTATE", kDegreeNames, 4, 0, 0) * 90;
}

void orientation_open(unsigned panel_width, unsigned panel_height) {
  g_panel_width = panel_width;
  g_panel_height = panel_height;
  g_start = g_degrees = orientation_read_settings();
  if (g_start != 0)
    log_info("屏幕方向 %d°（FOLIAN_ROTATE），应用窗口 %ux%u\n", g_start, orientation_app_width(),
             orientation_app_height());
}

int orientation_degrees() { return g_degrees; }

unsigned orientation_app_width() { return g_degrees % 180 == 0 ? g_panel_width : g_panel_height; }

unsigned orientation_app_height() { return g_degrees % 180 == 0 ? g_panel_height : g_panel_width; }

void orientation_set_handler(OrientationHandler on_change) { g_on_change = on_change; }

bool orientation_set(int degrees, const char* who) {
  if (!valid(degrees) || degrees == g_degrees) return false;
  g_degrees = degrees;
  log_info("屏幕方向 → %d°（%s），应用窗口 %ux%u\n", degrees, who, orientation_app_width(),
           orientation_app_height());
  if (g_on_change) g_on_change(degrees);
  return true;
}

int orientation_from_name(const char* name, size_t length) {
  static const char kPrefix[] = "DeviceOrientation.";
  const size_t prefix = sizeof kPrefix - 1;
  if (length > prefix && memcmp(name, kPrefix, prefix) == 0) {
    name += prefix;
    length -= prefix;
  }
  for (int i = 0; i < 4; i++) {
    const char* known = kDeviceOrientations[i];
    if (strlen(known) == length && memcmp(known, name, length) == 0) return i * 90;
  }
  return -1;
}

void orientation_prefer(const int* degrees, size_t count) {
  if (count == 0) {
    orientation_set(g_start, "应用恢复默认方向");
    return;
  }
  for (size_t i = 0; i < count; i++)
    if (degrees[i] == g_degrees) return;
  orientation_set(degrees[0], "应用请求");
}
