// Placeholder until the framework impersonation lands.
#include "framework.h"

int framework_fake_open() { return 0; }
void framework_fake_close() {}
