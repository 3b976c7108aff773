// The walk's own code against device calls that fail, one way at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/device_calls.h"

namespace {

struct FakeDevice {
  bool Present;           // the node status can be read
  bool IdReadable;        // the instance ID can be read
  bool NameReadable;      // the friendly name property exists
  std::vector<BYTE> Name; // what the registry holds, as stored
};

// The device set one case walks, and what the walk did to it. Plain function
// pointers carry no state, so it lives here for the one case that runs at a time.
struct FakeSystem {
  bool OpenFails;
  DWORD EnumFailsAt; // the first member index enumeration refuses
  std::vector<FakeDevice> Devices;
  std::string Log;
  std::vector<std::wstring> Visited;
  int WrongArguments;
};
FakeSystem fake;

const DEVINST kFirstNode = 100;
HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(0x5E7);
const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

void Note(const char* what, DEVINST node) {
  fake.Log += what + std::to_string(node - kFirstNode) + " ";
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                 DWORD flags) {
  fake.Log += "open ";
  if (std::memcmp(classGuid, &kPorts, sizeof kPorts) != 0 || enumerator || parent || flags) {
    ++fake.WrongArguments;
  }
  return fake.OpenFails ? INVALID_HANDLE_VALUE : kSet;
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
  Note("enum", kFirstNode + index);
  if (set != kSet || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    ++fake.WrongArguments;
  }
  if (index >= fake.EnumFailsAt || index >= fake.Devices.size()) {
    SetLastError(index >= fake.Devices.size() ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_DATA);
    return FALSE;
  }
  device->DevInst = kFirstNode + index;
  return TRUE;
}

const FakeDevice& DeviceOf(DEVINST node) {
  return fake.Devices[node - kFirstNode];
}

// The fakes take the system functions' exact parameter types.
// NOLINTBEGIN(readability-non-const-parameter)
CONFIGRET WINAPI FakeGetDevNodeStatus(PULONG status, PULONG problem, DEVINST node, ULONG flags) {
  Note("status", node);
  if (!status || !problem || flags) {
    ++fake.WrongArguments;
  }
  return DeviceOf(node).Present ? CR_SUCCESS : CR_NO_SUCH_DEVINST;
}

CONFIGRET WINAPI FakeGetDeviceId(DEVINST node, PWCHAR buffer, ULONG chars, ULONG flags) {
  Note("id", node);
  if (!buffer || chars != 200 || flags) {
    ++fake.WrongArguments;
  }
  if (!DeviceOf(node).IdReadable) {
    return CR_INVALID_DEVNODE;
  }
  std::wcscpy(buffer, L"USB\\VID_0000&PID_0000\\1");
  return CR_SUCCESS;
}

BOOL WINAPI FakeGetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                          PDWORD dataType, PBYTE buffer, DWORD bytes,
                                          PDWORD required) {
  Note("name", device->DevInst);
  if (set != kSet || property != SPDRP_FRIENDLYNAME || dataType || required || bytes != 400) {
    ++fake.WrongArguments;
  }
  const FakeDevice& d = DeviceOf(device->DevInst);
  if (!d.NameReadable || d.Name.size() > bytes) {
    SetLastError(d.NameReadable ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_DATA);
    return FALSE;
  }
  // Like the system: what is stored is copied, and nothing else is touched.
  std::memcpy(buffer, d.Name.data(), d.Name.size());
  return TRUE;
}
// NOLINTEND(readability-non-const-parameter)

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
  fake.Log += "destroy";
  if (set != kSet) {
    ++fake.WrongArguments;
  }
  return TRUE;
}

const DeviceCalls kFakeCalls = {
    FakeGetClassDevs,
    FakeEnumDeviceInfo,
    FakeGetDevNodeStatus,
    FakeGetDeviceId,
    FakeGetDeviceRegistryProperty,
    FakeDestroyDeviceInfoList,
};

void Visit(void* context, const wchar_t* name) {
  EXPECT_EQ(context, &fake);
  fake.Log += "visit ";
  fake.Visited.push_back(name);
}

std::vector<BYTE> Stored(const std::wstring& text, bool terminated) {
  const size_t chars = text.size() + (terminated ? 1 : 0);
  std::vector<BYTE> bytes(chars * sizeof(wchar_t));
  std::memcpy(bytes.data(), text.c_str(), bytes.size());
  return bytes;
}

FakeDevice Port(const std::wstring& name) {
  return FakeDevice{true, true, true, Stored(name, true)};
}

struct WalkCase {
  const char* Title;
  bool OpenFails;
  DWORD EnumFailsAt;
  std::vector<FakeDevice> Devices;
  const char* Log;
  std::vector<std::wstring> Visited;
};

const DWORD kNever = 0xFFFFFFFF;
TEST(WalkPortsClassDevices, PassesOverWhatFailsAndAlwaysReleasesTheSet) {
  const std::wstring k199(199, L'x');
  const std::wstring k200(200, L'y');
  const WalkCase cases[] = {
      {"the set cannot be opened", true, kNever, {Port(L"Zelnar Debug Probe (COM3)")}, "open ", {}},
      {"an empty set", false, kNever, {}, "open enum0 destroy", {}},
      {"every device listed, in order",
       false,
       kNever,
       {Port(L"Communications Port (COM1)"), Port(L"Zelnar Debug Probe (COM3)")},
       "open enum0 status0 id0 name0 visit enum1 status1 id1 name1 visit enum2 destroy",
       {L"Communications Port (COM1)", L"Zelnar Debug Probe (COM3)"}},
      {"enumeration fails in the middle",
       false,
       1,
       {Port(L"A (COM1)"), Port(L"B (COM2)")},
       "open enum0 status0 id0 name0 visit enum1 destroy",
       {L"A (COM1)"}},
      {"an unplugged device fails its node status",
       false,
       kNever,
       {FakeDevice{false, true, true, Stored(L"Zelnar Debug Probe (COM3)", true)},
        Port(L"B (COM2)")},
       "open enum0 status0 enum1 status1 id1 name1 visit enum2 destroy",
       {L"B (COM2)"}},
      {"an unreadable instance ID",
       false,
       kNever,
       {FakeDevice{true, false, true, Stored(L"Zelnar Debug Probe (COM3)", true)},
        Port(L"B (COM2)")},
       "open enum0 status0 id0 enum1 status1 id1 name1 visit enum2 destroy",
       {L"B (COM2)"}},
      {"no friendly name",
       false,
       kNever,
       {FakeDevice{true, true, false, {}}, Port(L"B (COM2)")},
       "open enum0 status0 id0 name0 enum1 status1 id1 name1 visit enum2 destroy",
       {L"B (COM2)"}},
      {"an unterminated name after a longer one gets no stale tail",
       false,
       kNever,
       {Port(L"Zelnar Debug Probe (COM3) with a long tail"),
        FakeDevice{true, true, true, Stored(L"Zelnar Debug Probe (COM4)", false)}},
       "open enum0 status0 id0 name0 visit enum1 status1 id1 name1 visit enum2 destroy",
       {L"Zelnar Debug Probe (COM3) with a long tail", L"Zelnar Debug Probe (COM4)"}},
      {"199 characters fit; 200 with their NUL do not, nor 200 stored without one",
       false,
       kNever,
       {Port(k199), Port(k200), FakeDevice{true, true, true, Stored(k200, false)},
        FakeDevice{true, true, true, Stored(k199, false)}},
       "open enum0 status0 id0 name0 visit enum1 status1 id1 name1 enum2 status2 id2 name2 "
       "enum3 status3 id3 name3 visit enum4 destroy",
       {k199, k199}},
  };
  for (const WalkCase& c : cases) {
    fake = FakeSystem{c.OpenFails, c.EnumFailsAt, c.Devices, "", {}, 0};
    WalkPortsClassDevicesWith(kFakeCalls, Visit, &fake);
    EXPECT_EQ(fake.Log, c.Log) << c.Title;
    EXPECT_EQ(fake.Visited, c.Visited) << c.Title;
    EXPECT_EQ(fake.WrongArguments, 0) << c.Title;
  }
}

} // namespace
