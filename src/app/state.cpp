// The one instance of the global state record.
#include "app/state.h"

ProgramState program;
