#include <windows.h>

#include <cstring>

#include "portcheck/platform.h"

bool QueryWindowsVersion(WindowsVersion* version) {
  // The basic record: the extended one is refused by the oldest systems served.
  OSVERSIONINFOW info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExW(&info)) {
    return false;
  }
  version->Major = info.dwMajorVersion;
  version->Minor = info.dwMinorVersion;
  return true;
}
