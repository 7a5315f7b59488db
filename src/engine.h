// The Flutter engine library: loaded by name at start, every function taken
// from the table the engine fills itself, so that one program runs with the
// engines of many releases and a missing function is told, never a crash at
// load or at its first call.  Every module calls the engine through
// engine_api().  Main thread only, before the engine runs; the table is read
// from any thread afterwards and never changes again.
#pragma once

#include <stdio.h>

#include "flutter_embedder.h"

// The engine's functions.  Once engine_load or engine_take_table succeeded,
// every entry src/engine_functions.tsv marks required is set; the optional
// ones may be null, and their callers do without.
const FlutterEngineProcTable& engine_api();

// Opens the engine library at `path` and takes its table.  False after one
// error line: the loader's own words when the library cannot be loaded, the
// missing functions and the first release that has them otherwise.
bool engine_load(const char* path);

// Fills the table through the engine's FlutterEngineGetProcAddresses.  An
// optional function the engine lacks is told in one information line naming
// what goes without it.  False, after one error line, when a function the
// program cannot do without is missing.
bool engine_take_table(FlutterEngineGetProcAddressesFnPtr get_proc_addresses);

// Judges the bundle's application against the loaded engine before anything
// is launched: an app of another release, architecture or mode is told in
// one error line naming its snapshot, where the engine would abort the
// process or refuse in silence.  The engine read is the file the loader
// mapped (engine_path is only the name it was loaded by).  A debug engine
// with the bundle's kernel_blob.bin runs that and no libapp.so: nothing to
// judge.  One information line when the app may go, and one more when the
// engine does not tell whether it is a release or a profile build.
bool engine_check_app(const char* engine_path, const char* app_path, const char* kernel_path);

// The engine's release as engine_check_app found it among the snapshot
// hashes the library holds: major * 100 + minor (324 for 3.24), or -1 when
// none is in the table, which is told apart from newer releases only by
// being absent, so it counts as the newest.  `name` receives "Flutter
// 3.24.0–3.24.5" or "版本不明".
int engine_release(const char** name = nullptr);

// For --version: a line each for the engine library and the app, naming their
// releases and snapshots as far as the files tell (the engine is not
// loaded); nothing for a file that is not there.
void engine_describe(const char* engine_path, const char* app_path, FILE* out);
