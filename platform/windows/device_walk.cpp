#include "platform/windows/device_calls.h"

#include <cstring>

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the Ports (COM and LPT) setup class.
const GUID kPortsClassGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The friendly name buffer has one character more than the property call is
// told about; it stays NUL, so whatever the registry holds, the name ends.
struct FriendlyNameBuffer {
  WCHAR Text[kFriendlyNameChars + 1];
};

bool HoldsTerminatedName(const FriendlyNameBuffer& name) {
  for (DWORD i = 0; i < kFriendlyNameChars; ++i) {
    if (name.Text[i] == L'\0') {
      return true;
    }
  }
  return false;
}

// A device is listed when it is present (its node status can be read), its
// instance ID can be read, and its friendly name can be read and ends within
// the buffer. The first test that fails passes it over; later calls are not made.
bool ReadListedName(const DeviceCalls& calls, HDEVINFO set, SP_DEVINFO_DATA* device,
                    FriendlyNameBuffer* name) {
  ULONG status = 0;
  ULONG problem = 0;
  if (calls.GetDevNodeStatus(&status, &problem, device->DevInst, 0) != CR_SUCCESS) {
    return false;
  }
  WCHAR instanceId[kInstanceIdChars];
  if (calls.GetDeviceId(device->DevInst, instanceId, kInstanceIdChars, 0) != CR_SUCCESS) {
    return false;
  }
  // The registry does not promise a terminating NUL, and the call copies what
  // is stored: clear what the previous device left behind.
  std::memset(name->Text, 0, sizeof name->Text);
  if (!calls.GetDeviceRegistryProperty(set, device, SPDRP_FRIENDLYNAME, nullptr,
                                       reinterpret_cast<PBYTE>(name->Text),
                                       kFriendlyNameChars * sizeof(WCHAR), nullptr)) {
    return false;
  }
  return HoldsTerminatedName(*name);
}

} // namespace

const DeviceCalls kSystemDeviceCalls = {
    SetupDiGetClassDevsW,
    SetupDiEnumDeviceInfo,
    CM_Get_DevNode_Status,
    CM_Get_Device_IDW,
    SetupDiGetDeviceRegistryPropertyW,
    SetupDiDestroyDeviceInfoList,
};

void WalkPortsClassDevicesWith(const DeviceCalls& calls, FriendlyNameVisitor visitor,
                               void* context) {
  // No DIGCF_PRESENT: presence is judged device by device, by the node status.
  HDEVINFO set = calls.GetClassDevs(&kPortsClassGuid, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) {
    return;
  }
  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  FriendlyNameBuffer name;
  // Any failure to enumerate ends the walk, be it the end of the list or not.
  for (DWORD index = 0; calls.EnumDeviceInfo(set, index, &device); ++index) {
    if (ReadListedName(calls, set, &device, &name)) {
      visitor(context, name.Text);
    }
  }
  calls.DestroyDeviceInfoList(set);
}

void WalkPortsClassDevices(FriendlyNameVisitor visitor, void* context) {
  WalkPortsClassDevicesWith(kSystemDeviceCalls, visitor, context);
}
