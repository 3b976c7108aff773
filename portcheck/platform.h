// The two operations the run needs from the operating system. Each platform
// folder supplies them; the run reaches them only through these declarations.
#pragma once

#include <cstdint>

struct WindowsVersion {
  uint32_t Major;
  uint32_t Minor;
};

// Called once for every friendly name the walk hands over. The name lies in a
// buffer of the walk and is valid only during the call.
typedef void (*FriendlyNameVisitor)(void* context, const wchar_t* friendlyName);

// True with the running Windows' version filled in; false when it cannot be read.
bool QueryWindowsVersion(WindowsVersion* version);

// Visits the Ports-class devices in the system's enumeration order. Reports no
// failure: whatever goes wrong shows only as fewer names, or none.
void WalkPortsClassDevices(FriendlyNameVisitor visitor, void* context);
