// Taking the place of the device's application framework, so that the
// system's splash and screensaver step aside while we run.
#pragma once

// Registers as the framework's LIPC service when FOLIAN_FAKE_FRAMEWORK is "1";
// 1 when in force.
int framework_fake_open();
// Gives the screensaver back and the service name up; first in the shutdown.
void framework_fake_close();
// Sets one string property of the blanket service, logging a failure.
void blanket(const char* property, const char* value);
