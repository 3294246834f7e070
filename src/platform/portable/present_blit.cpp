// The copy from a top level's surface into a presenter's window surface, enlarged by a whole
// number for high-DPI screens, that notes which part of it really changed; and that number.
// Kept in the core (no SDL here) so that the tests can check them pixel by pixel.
#include <algorithm>
#include <climits>
#include <cstdlib>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/portable/core.h"

namespace {

constexpr int PREFETCH_ROWS = 3;
constexpr int MAX_SCALE = 4;
constexpr int BASE_DPI = 96;

inline uint32_t Opaque(uint32_t p) { return 0xFF000000u | p; }
inline uint32_t OpaqueSwapped(uint32_t p) {
    return 0xFF000000u | ((p & 0xFFu) << 16) | (p & 0xFF00u) | ((p >> 16) & 0xFFu);
}

// The first and last x of a row whose opaque source pixel differs from the target's, four
// pixels to a compare: at scale 1 this scan is most of a frame's work (a scope box is redrawn
// whole every tick, while only its old and new traces really change). False when the row is
// unchanged.
bool OpaqueRowDifference(const uint32_t* source, const uint32_t* target, int width, int* first, int* last) {
    int x = 0, end = width;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000u);
    auto differing = [&](int at) {
        __m128i a = _mm_or_si128(_mm_loadu_si128((const __m128i*)(source + at)), alpha);
        __m128i b = _mm_loadu_si128((const __m128i*)(target + at));
        return ~_mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) & 0xFFFF;
    };
    for (; x + 4 <= width; x += 4)
        if (differing(x)) break;
    if (x + 4 <= width) {
        // Found in the block at x; the last one lies at or after it.
        for (end = width; end - 4 >= x && !differing(end - 4); end -= 4) {
        }
    }
#endif
    while (x < end && Opaque(source[x]) == target[x]) ++x;
    if (x == end) return false;
    while (Opaque(source[end - 1]) == target[end - 1]) --end;
    *first = x;
    *last = end - 1;
    return true;
}

// target[x] = the opaque source[x] for x in [first, last].
void CopyOpaqueRun(const uint32_t* __restrict source, uint32_t* __restrict target, int first, int last) {
    int x = first;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000u);
    for (; x + 4 <= last + 1; x += 4)
        _mm_storeu_si128((__m128i*)(target + x), _mm_or_si128(_mm_loadu_si128((const __m128i*)(source + x)), alpha));
#endif
    for (; x <= last; ++x) target[x] = Opaque(source[x]);
}

template <uint32_t (*Convert)(uint32_t)>
void Blit(const SurfaceView& from, uint8_t* to, size_t pitch, int left, int top, int right, int bottom, int n,
          bool all, RectI* changed) {
    const int width = right - left;
    for (int y = top; y < bottom; ++y) {
        const uint32_t* source = from.pixels + (size_t)y * from.stride + left;
        // The first of the n screen rows this row becomes: it alone is compared.
        uint32_t* target = (uint32_t*)(to + (size_t)y * n * pitch) + (size_t)left * n;
        // Rows are short and far apart, too short for the hardware prefetcher to get going,
        // and both surfaces are usually out of cache by the next redraw: ask for a few rows
        // ahead.
        if (y + PREFETCH_ROWS < bottom) {
            const uint32_t* source_ahead = source + (size_t)PREFETCH_ROWS * from.stride;
            const uint8_t* target_ahead = (const uint8_t*)target + (size_t)PREFETCH_ROWS * n * pitch;
            for (int x = 0; x < width; x += 16) __builtin_prefetch(source_ahead + x);
            for (int x = 0; x < width * n; x += 16) __builtin_prefetch((const uint32_t*)target_ahead + x, 1);
        }
        int first = 0, last = width - 1;
        if (n == 1 && Convert == Opaque) {
            if (!all && !OpaqueRowDifference(source, target, width, &first, &last)) continue;
            CopyOpaqueRun(source, target, first, last);
        } else if (n == 1) {
            // The common case stays simple enough for the compiler to vectorise.
            uint32_t differ = 0;
            for (int x = 0; x < width; ++x) differ |= Convert(source[x]) ^ target[x];
            if (!differ && !all) continue;
            if (!all) {
                while (Convert(source[first]) == target[first]) ++first;
                while (Convert(source[last]) == target[last]) --last;
            }
            for (int x = first; x <= last; ++x) target[x] = Convert(source[x]);
        } else {
            first = INT_MAX;
            last = -1;
            for (int x = 0; x < width; ++x) {
                if (Convert(source[x]) != target[x * n]) {
                    first = std::min(first, x);
                    last = x;
                }
            }
            if (all) first = 0, last = width - 1;
            if (last < first) continue;
            for (int x = first; x <= last; ++x) std::fill_n(target + (size_t)x * n, n, Convert(source[x]));
            const size_t bytes = (size_t)(last - first + 1) * n * sizeof(uint32_t);
            const uint8_t* row = (const uint8_t*)(target + (size_t)first * n);
            for (int k = 1; k < n; ++k) std::copy_n(row, bytes, (uint8_t*)row + k * pitch);
        }
        *changed = RectUnion(*changed, RectI{left + first, y, left + last + 1, y + 1});
    }
}

}  // namespace

RectI PresentBlit(const SurfaceView& from, void* to, size_t to_pitch, int to_width, int to_height, RectI area,
                  int scale, bool swap_red_blue, bool all) {
    if (!from.pixels || !to || scale < 1) return RectI{0, 0, 0, 0};
    area = RectIntersect(area, RectI{0, 0, std::min(from.width, to_width / scale),
                                     std::min(from.height, to_height / scale)});
    RectI changed{0, 0, 0, 0};
    if (RectEmpty(area)) return changed;
    if (swap_red_blue)
        Blit<OpaqueSwapped>(from, (uint8_t*)to, to_pitch, area.left, area.top, area.right, area.bottom, scale, all,
                            &changed);
    else
        Blit<Opaque>(from, (uint8_t*)to, to_pitch, area.left, area.top, area.right, area.bottom, scale, all,
                     &changed);
    return changed;
}

int DesktopScale(const char* override_text, int dpi) {
    if (override_text) {
        char* end = nullptr;
        long n = std::strtol(override_text, &end, 10);
        if (end != override_text && *end == '\0' && n >= 1 && n <= MAX_SCALE) return (int)n;
    }
    return std::max(1, std::min(MAX_SCALE, dpi / BASE_DPI));
}
