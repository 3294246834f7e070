// Shared between the headless presenter's clock (presenter.cpp) and its scripted wave-input
// devices (wave_in.cpp).
#pragma once

#include <cstdint>

// The earliest virtual time at which an open, started device delivers; UINT64_MAX: never.
uint64_t HeadlessNextDeliveryDue();
// Makes the one delivery due at or before `now` that comes first; false when none is due.
bool HeadlessRunOneDueDelivery(uint64_t now);
void HeadlessResetWaveIn();
