#include "portcheck/run.h"

#include "portcheck/probe_report.h"

namespace {

void ExamineFriendlyName(void* context, const wchar_t* friendlyName) {
  static_cast<ProbeReport*>(context)->Examine(friendlyName);
}

} // namespace

bool IsSupportedWindowsVersion(WindowsVersion version) {
  return version.Major > 5 || (version.Major == 5 && (version.Minor == 1 || version.Minor == 2));
}

int RunPortCheck(FILE* out, const PlatformOperations& platform) {
  WindowsVersion version{0, 0};
  if (!platform.QueryVersion(&version)) {
    std::fprintf(out, "CleanUp:  Unable to verify Windows version, exiting...\n");
    return -1;
  }
  if (!IsSupportedWindowsVersion(version)) {
    std::fprintf(out, "CleanUp:  This utility is  designed to run on Windows XP/2003 and later\n");
    return -1;
  }
  ProbeReport report{out, 0};
  platform.WalkDevices(ExamineFriendlyName, &report);
  report.WriteSummary();
  return report.Count() >= 1 ? 0 : 1;
}
