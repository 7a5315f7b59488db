// folian --check: the start-up's checks up to the engine's launch and the
// device's, one line each, without opening the screen or launching the
// engine.
#pragma once

#include "bundle.h"

// Reads the settings the start-up reads for itself, each by the rule the
// start reads it with; the check counts those told as breaking their rule.
// `dpi` is the density a start would find, 0 when the panel tells it.
using CheckStartSettings = void (*)(double dpi);

// Every check, then the verdict in one line; the exit status: 0 when all
// pass, else 1.
int check_run(const BundlePaths& bundle, CheckStartSettings on_start_settings);
