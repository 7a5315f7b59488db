// Log clock and log lines shared by every module.  Each line goes to standard
// error in one write: "[%9.3f] " for information, "[%9.3f][错误] " for errors.
#pragma once

// Seconds since the first call, from CLOCK_MONOTONIC.
double log_uptime();

// Write "[uptime] " followed by the formatted text (which carries its own "\n").
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Write "[uptime][错误] " followed by the formatted text.
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Write the formatted text as it is, without a clock (engine log lines).
void log_raw(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
