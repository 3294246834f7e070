// Per-tick display update: the scope boxes, the level measurement, the two LED bars and
// the feeding of the needle meters and the history graph.
#pragma once

#include <cstdint>

#include "app/state.h"

// One display tick (WM_TIMER on the main window). A tick taken while one runs is ignored.
void RefreshDisplays();
// Grid and trace of one box, by sample width and channel count.
void DrawScopeChannel(const ScopeChannel& box);
// The mono routine: draws nothing.
void DrawMonoTrace(const ScopeChannel& box);
// Grid and trace of one channel of an interleaved 16-bit stereo block.
void DrawStereoTrace(const ScopeChannel& box);
// low if value < low, else high if value > high, else value.
int32_t ClampInt(int32_t value, int32_t low, int32_t high);
// Second half of the tick: peaks, bars, end of drawing, history value, meter values.
void UpdateLevelDisplays();
// Fills segments 1 .. count of the bar whose top edge is `top` with `colour`.
void LightSegments(int count, int top, Colour colour);
// Processes pending window messages without waiting until none is left.
void PumpPendingEvents();
// Value sent to the history graph when the level product has no finite logarithm (a silent
// channel): the graph draws it far below its bottom row.
constexpr intptr_t HISTORY_VALUE_FLOOR = -1000;
// round(20 x 0.97 x log10(left x right)), ties to even, at least HISTORY_VALUE_FLOOR.
intptr_t HistoryValueFromLevels(float left, float right);
// 20 x log10(0.7 x level) x 2.11; minus infinity for level 0.
float MeterValueFromLevel(float level);
// width x peak / 32767, as a float.
float LevelFromPeak(int32_t width, int32_t peak);
