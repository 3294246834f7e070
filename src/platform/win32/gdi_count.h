// How many GDI and USER painting calls the win32 backend has made so far. Every such call
// in the backend goes through GDI_CALL (backend.h), so tests can hold a display tick to a
// number of them. Nothing of the system is needed to read it.
#pragma once

#include <cstdint>

uint64_t GdiCallCount();
