// The wave input's sound-server side for systems without libpulse (wave_input.h): there is no
// server to ask, so SDL2's capture always records.
#include "platform/portable/pulse/wave_input.h"

CaptureRecorder* SoundServerRecorder() { return nullptr; }
void StartSoundServerClient() {}
bool SoundServerAnswered() { return false; }
bool WaitForSoundServer(int) { return true; }
