/* The stand-in application's ahead-of-time code: libapp.so as far as an
 * engine or a tool looks into it before running anything.  The four symbols
 * gen_snapshot exports; the two data ones start with a Dart snapshot header
 * (magic 0xdcdcf5f5, length, kind, the snapshot hash of the Dart VM that made
 * it, then the features: mode, flags, architecture).  The hash is the one of
 * the release the stand-in engine of the same name plays
 * (STAND_IN_SNAPSHOT_HASH); the stand-in engine runs the script in the
 * assets, not this. */

#if !defined(STAND_IN_SNAPSHOT_HASH) || !defined(STAND_IN_MODE)
#error "STAND_IN_SNAPSHOT_HASH and STAND_IN_MODE name the engine this app is made for"
#endif

#include "features.h"

#define STAND_IN_FEATURES STAND_IN_MODE STAND_IN_VM_FLAGS

/* Little-endian magic, length, kind 3 (full AOT); each escape in a piece of
 * its own so that no hex digit that follows joins it. */
#define STAND_IN_HEADER              \
  "\xf5\xf5\xdc\xdc"                 \
  "\x00\x10\x00\x00\x00\x00\x00\x00" \
  "\x03\x00\x00\x00\x00\x00\x00\x00" STAND_IN_SNAPSHOT_HASH STAND_IN_FEATURES

#define STAND_IN_EXPORT __attribute__((visibility("default"), used))

STAND_IN_EXPORT const char _kDartVmSnapshotData[] = STAND_IN_HEADER;
STAND_IN_EXPORT const char _kDartIsolateSnapshotData[] = STAND_IN_HEADER;
STAND_IN_EXPORT const unsigned char _kDartVmSnapshotInstructions[64] = {0};
STAND_IN_EXPORT const unsigned char _kDartIsolateSnapshotInstructions[64] = {0};
