// One run of the utility: the version gate, the walk feeding the report, the
// summary and the exit status.
#pragma once

#include <cstdio>

#include "portcheck/platform.h"

// The platform operations a run calls; the program passes the real ones.
struct PlatformOperations {
  bool (*QueryVersion)(WindowsVersion* version);
  void (*WalkDevices)(FriendlyNameVisitor visitor, void* context);
};

// 5.1, 5.2 and every version from 6.0 on.
bool IsSupportedWindowsVersion(WindowsVersion version);

// Writes everything to out and returns the exit status: 0 when a probe was
// reported, 1 when none was, -1 when the version is unreadable or unsupported.
int RunPortCheck(FILE* out, const PlatformOperations& platform);
