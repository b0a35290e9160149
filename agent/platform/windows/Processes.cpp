#include "agent/platform/Processes.h"

#include <windows.h>

// ExitProcess would run the detach routines of every DLL, this one's static destructors among them.
void exitProcessImmediately(int32_t exitCode) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  for (;;) Sleep(INFINITE);
}
