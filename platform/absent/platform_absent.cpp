// Stand-in for hosts without the Windows services. It claims no Windows version
// and finds no devices, so the program stops at its version gate here.
#include "portcheck/platform.h"

bool QueryWindowsVersion(WindowsVersion* /*version*/) {
  return false;
}

void WalkPortsClassDevices(FriendlyNameVisitor /*visitor*/, void* /*context*/) {}
