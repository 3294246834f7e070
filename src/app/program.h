// The main routine's phases: the start-up in its fixed order, the event loop and the
// shut-down. ApplicationMain (platform.h) runs them in turn and always returns 0.
#pragma once

// Clears the state record and fills the palette, fonts and tables every part relies on.
void PrepareStateRecord();
// The whole start-up: window, meters, controls, settings, history graph, capture, analysis
// block. False when the controls could not be built (nothing was started then).
bool StartProgram();
// Takes and dispatches messages until a close request or Escape.
void RunEventLoop();
// Ends drawing and capture (when the start-up got that far) and releases everything.
void ShutDownProgram(bool started);
