/* The features the stand-in's Dart VM has, after its mode word
 * (STAND_IN_MODE: "product" for a Flutter release build, "release" for a
 * profile one): the engine compares an app's features with them, and the
 * stand-in app carries them. */
#pragma once

#if defined(__arm__)
#define STAND_IN_VM_FLAGS " no-code_comments no-dwarf_stack_traces_mode arm-eabi hardfp"
#elif defined(__x86_64__)
#define STAND_IN_VM_FLAGS \
  " no-code_comments no-dwarf_stack_traces_mode x64-sysv compressed-pointers"
#else
#error "the stand-in knows 32-bit ARM and x86-64 only"
#endif
