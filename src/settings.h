// Settings: the FOLIAN_* environment variables, read by one set of rules.
//
// Every module reads its own settings when it opens, through these helpers
// only, so that the same value means the same thing everywhere: a number is
// the whole value and lies in its range, a flag is "1"/"true" or
// "0"/"false", a name is one of a list, a size is "WxH".  A value that breaks its rule is told
// in one error line naming the rule, and the default stands.  Numbers never
// depend on the user's locale.
#pragma once

#include <stddef.h>

// The value as it is, or nullptr when the variable is unset ("" when empty).
const char* setting_text(const char* name);
// The variable is set at all, even to the empty string.
bool setting_present(const char* name);
// A whole decimal integer in [min, max]; unset or empty gives `fallback`.
long long setting_int(const char* name, long long fallback, long long min, long long max);
// A finite decimal number in (min, max]; unset or empty gives `fallback`.
double setting_number(const char* name, double fallback, double min, double max);
// "1" or "true" is on, "0" or "false" off; unset or empty is off.
bool setting_flag(const char* name);
// The index of the value in `names`; unset or empty gives `fallback`, an
// unknown name `unknown` (after the error line listing the names).
int setting_choice(const char* name, const char* const* names, size_t count, int fallback,
                   int unknown);
// "WxH", or "W" alone keeping the height, each a whole number in [1, max];
// unset or empty keeps both.
void setting_size(const char* name, long long max, unsigned* width, unsigned* height);

// How many values the helpers above have told as breaking their rule.
int settings_count_invalid();

// The parsers behind them, for values that do not come from the environment.
// Both read the whole text and nothing but the number, whatever the locale.
bool parse_whole_int(const char* text, long long min, long long max, long long* out);
bool parse_number(const char* text, double* out);
// "WxH", or "W" alone: only the width is written.  Nothing is written when
// the text breaks the rule.
bool parse_size(const char* text, long long max, unsigned* width, unsigned* height);
