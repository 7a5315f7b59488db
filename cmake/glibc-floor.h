/* Included ahead of every C and C++ unit of the 32-bit ARM builds (see
 * cmake/armhf.cmake).  The device's C library defines symbol versions only up
 * to GLIBC_2.18; the headers we build against are newer and bind a few
 * functions to versions the device lacks.  Each is bound back here to the
 * version the device has, which behaves the same for the calls we make. */
#ifndef FOLIAN_GLIBC_FLOOR_H
#define FOLIAN_GLIBC_FLOOR_H
/* No header is included here: a unit's own feature macros (_GNU_SOURCE) must
 * come before the C library's first header.  The ARM builds use the GNU C
 * library only. */
#if defined(__arm__) && defined(__linux__)
/* Since 2.28, fcntl@GLIBC_2.28; the old entry differs only for the 64-bit
 * record-lock commands, which we never use (only the descriptor and status
 * flags). */
__asm__(".symver fcntl,fcntl@GLIBC_2.4");
#endif
#endif
