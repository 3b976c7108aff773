// The command line is not looked at: there are no options and no usage text.
#include <cstdio>

#include "portcheck/run.h"

int main() {
  return RunPortCheck(stdout, PlatformOperations{QueryWindowsVersion, WalkPortsClassDevices});
}
