// The bundle: where the application's parts and the engine are found, and
// whether the parts the engine does not check itself are usable.
#pragma once

#include <stddef.h>

struct BundlePaths {
  char dir[4096];       // --bundle, else the executable's directory, else "."
  char assets[4128];    // dir/data/flutter_assets
  char icu[4128];       // dir/data/icudtl.dat
  char app[4128];       // dir/lib/libapp.so
  char kernel[4160];    // assets/kernel_blob.bin, what a debug engine runs
  char manifest[4128];  // dir/bundle.json
  char engine[4128];    // FOLIAN_ENGINE, else dir/lib/libflutter_engine.so, else the
                        // one in lib/ beside the executable
};

// Fills the paths from the --bundle value (or null).  False when one does not
// fit: a cut path would name another file.
bool bundle_find(const char* option, BundlePaths* paths);

// The ICU data is a readable file and the assets a directory.  The engine
// does not report these as launch errors: it aborts the process when it
// cannot load the ICU data, and an ahead-of-time engine starts an application
// that cannot find its assets.  Each problem is one error line; with
// `tell_ok`, what is fine is one information line.
bool bundle_usable(const BundlePaths& paths, bool tell_ok = false);

// Logs the manifest the bundle tool wrote (bundle.json: releases, snapshot
// hashes, mode, C runtime) in one information line.  A bundle without one
// (on the desktop, in the tests) logs nothing; one that cannot be read is
// one information line: it never stops the start.
void bundle_log_manifest(const BundlePaths& paths);
