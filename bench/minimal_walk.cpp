// The floor the utility is measured against: the same platform calls, through
// the same platform code, and nothing else (no recognition, no output).
#include "portcheck/platform.h"

namespace {

void Ignore(void* /*context*/, const wchar_t* /*friendlyName*/) {}

} // namespace

int main() {
  WindowsVersion version{0, 0};
  if (QueryWindowsVersion(&version)) {
    WalkPortsClassDevices(Ignore, nullptr);
  }
  return 0;
}
