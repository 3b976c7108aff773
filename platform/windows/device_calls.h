// The six device calls the Ports-class walk makes, gathered in one table so
// that the walk's own code can be run against calls that fail. The program
// uses the system's table; the functions stay direct imports of SETUPAPI.dll.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include "portcheck/platform.h"

struct DeviceCalls {
  decltype(&SetupDiGetClassDevsW) GetClassDevs;
  decltype(&SetupDiEnumDeviceInfo) EnumDeviceInfo;
  decltype(&CM_Get_DevNode_Status) GetDevNodeStatus;
  decltype(&CM_Get_Device_IDW) GetDeviceId;
  decltype(&SetupDiGetDeviceRegistryPropertyW) GetDeviceRegistryProperty;
  decltype(&SetupDiDestroyDeviceInfoList) DestroyDeviceInfoList;
};

extern const DeviceCalls kSystemDeviceCalls;

// Characters of the instance ID buffer, and of the friendly name buffer the
// property call may fill (so a name is at most one less, its NUL included).
const ULONG kInstanceIdChars = 200;
const DWORD kFriendlyNameChars = 200;

// The walk of WalkPortsClassDevices over the given calls.
void WalkPortsClassDevicesWith(const DeviceCalls& calls, FriendlyNameVisitor visitor,
                               void* context);
