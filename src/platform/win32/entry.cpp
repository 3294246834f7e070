// The program's entry point on Windows: WinMain hands over to the application at once.
#include "platform/win32/backend.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return ApplicationMain();
}
