// The demonstration and test limit on a run's length (KORVELT_RUN_SECONDS), read safely:
// whatever the text says, the result is a plain number of microseconds or "no limit".
#pragma once

#include <cstdint>

// The longest limit taken: a year. Longer ones, and infinity, are clamped to it.
constexpr uint64_t RUN_LIMIT_MAX_MICROS = 365ull * 24 * 3600 * 1000000;

// Microseconds after which the program receives a close request, from the text of
// KORVELT_RUN_SECONDS; 0 (no limit) for a missing, empty, unreadable, zero, negative or NaN
// value. Fractions of a second count; text after the number is ignored.
uint64_t RunLimitMicros(const char* text);
