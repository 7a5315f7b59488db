// Taking the place of the device's application framework, so that the
// system's splash and screensaver step aside while we run.
#pragma once

int framework_fake_open();
void framework_fake_close();
