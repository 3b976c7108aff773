// The six device calls the Ports-class walk makes, gathered in one table so
// that the walk's own code can be run against calls that fail. The program
// uses the system's table; the functions stay direct imports of SETUPAPI.dll.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include "portcheck/platform.h"

struct DeviceCalls {
  HDEVINFO(WINAPI* GetClassDevs)(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
  BOOL(WINAPI* EnumDeviceInfo)(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA device);
  CONFIGRET(WINAPI* GetDevNodeStatus)(PULONG status, PULONG problem, DEVINST node, ULONG flags);
  CONFIGRET(WINAPI* GetDeviceId)(DEVINST node, PWCHAR buffer, ULONG bufferChars, ULONG flags);
  BOOL(WINAPI* GetDeviceRegistryProperty)(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                          PDWORD dataType, PBYTE buffer, DWORD bufferBytes,
                                          PDWORD requiredBytes);
  BOOL(WINAPI* DestroyDeviceInfoList)(HDEVINFO set);
};

extern const DeviceCalls kSystemDeviceCalls;

// Characters of the instance ID buffer, and of the friendly name buffer the
// property call may fill (so a name is at most one less, its NUL included).
const ULONG kInstanceIdChars = 200;
const DWORD kFriendlyNameChars = 200;

// The walk of WalkPortsClassDevices over the given calls.
void WalkPortsClassDevicesWith(const DeviceCalls& calls, FriendlyNameVisitor visitor,
                               void* context);
