// Reading KORVELT_RUN_SECONDS: a double from the environment is checked before it becomes an
// integer, as converting an out-of-range double (1e300, infinity) to one is undefined.
#include "platform/portable/run_limit.h"

#include <cmath>
#include <cstdlib>

uint64_t RunLimitMicros(const char* text) {
    if (!text || !*text) return 0;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || std::isnan(seconds) || !(seconds > 0)) return 0;
    const double micros = seconds * 1e6;
    if (!(micros < (double)RUN_LIMIT_MAX_MICROS)) return RUN_LIMIT_MAX_MICROS;
    // At least one microsecond: a tiny positive limit still asks for a close.
    const uint64_t whole = (uint64_t)micros;
    return whole > 0 ? whole : 1;
}
