#include "agent/platform/Screen.h"

#include <windows.h>

int32_t getScreenLogicalDpiX() {
  HWND desktop = GetDesktopWindow();
  HDC context = GetDC(desktop);
  const int32_t dpi = GetDeviceCaps(context, LOGPIXELSX);
  ReleaseDC(desktop, context);
  return dpi;
}
