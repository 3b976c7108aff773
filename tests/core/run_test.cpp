#include "portcheck/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/core/captured_output.h"

namespace {

struct VersionCase {
  uint32_t Major;
  uint32_t Minor;
  bool Supported;
};

TEST(IsSupportedWindowsVersion, AcceptsXpAnd2003AndEverythingFromSixOn) {
  const VersionCase cases[] = {
      {0, 0, false},          {4, 0, false}, {4, 90, false},        {4, 0xFFFFFFFF, false},
      {5, 0, false},          {5, 1, true},  {5, 2, true},          {5, 3, false},
      {5, 0xFFFFFFFF, false}, {6, 0, true},  {6, 1, true},          {6, 2, true},
      {6, 0xFFFFFFFF, true},  {10, 0, true}, {0xFFFFFFFF, 0, true},
  };
  for (const VersionCase& c : cases) {
    EXPECT_EQ(IsSupportedWindowsVersion(WindowsVersion{c.Major, c.Minor}), c.Supported)
        << c.Major << "." << c.Minor;
  }
}

// The stand-in platform a case runs over; plain function pointers carry no
// state, so it lives here for the one case that runs at a time.
struct FakePlatform {
  bool VersionReadable;
  WindowsVersion Version;
  std::vector<const wchar_t*> Names;
  int Walks;
};
FakePlatform fake;

bool FakeQueryVersion(WindowsVersion* version) {
  if (fake.VersionReadable) {
    *version = fake.Version;
  }
  return fake.VersionReadable;
}

void FakeWalk(FriendlyNameVisitor visitor, void* context) {
  ++fake.Walks;
  for (const wchar_t* name : fake.Names) {
    visitor(context, name);
  }
}

struct RunCase {
  const char* Title;
  bool VersionReadable;
  WindowsVersion Version;
  std::vector<const wchar_t*> Names;
  const char* Expected;
  int Status;
  int Walks;
};

const char kUnverified[] = "CleanUp:  Unable to verify Windows version, exiting...\n";
const char kUnsupported[] =
    "CleanUp:  This utility is  designed to run on Windows XP/2003 and later\n";
const char kNoProbes[] = "\nFound 0 Zelnar Debug Probes Connected\n";

TEST(RunPortCheck, GatesOnTheVersionThenReportsAndSetsTheStatus) {
  const std::vector<const wchar_t*> probes = {L"Zelnar Debug Probe (COM3)"};
  const RunCase cases[] = {
      {"unreadable version", false, {6, 1}, probes, kUnverified, -1, 0},
      {"version 5.0", true, {5, 0}, probes, kUnsupported, -1, 0},
      {"version 4.10", true, {4, 10}, probes, kUnsupported, -1, 0},
      {"version 5.3", true, {5, 3}, probes, kUnsupported, -1, 0},
      {"no names", true, {5, 1}, {}, kNoProbes, 1, 1},
      {"no probes", true, {10, 0}, {L"Communications Port (COM1)", L""}, kNoProbes, 1, 1},
      {"a probe",
       true,
       {6, 2},
       {L"Communications Port (COM1)", L"Zelnar Debug Probe (COM3)"},
       "Enumerated:  Zelnar Debug Probe (COM3)\n"
       "             Qel Port Address (Specific): 0x3\n"
       "             Qel Port Address (Generic) : 0\n"
       "\nFound 1 Zelnar Debug Probe Connected\n",
       0,
       1},
      {"a probe without a port",
       true,
       {5, 2},
       {L"Zelnar Emulator CDC Serial Port"},
       "Enumerated:  Zelnar Emulator CDC Serial Port\n"
       "\nFound 1 Zelnar Debug Probe Connected\n",
       0,
       1},
  };
  for (const RunCase& c : cases) {
    fake = FakePlatform{c.VersionReadable, c.Version, c.Names, 0};
    FILE* out = OpenCapture();
    const int status = RunPortCheck(out, PlatformOperations{FakeQueryVersion, FakeWalk});
    EXPECT_EQ(CloseCapture(out), TextLines(c.Expected)) << c.Title;
    EXPECT_EQ(status, c.Status) << c.Title;
    EXPECT_EQ(fake.Walks, c.Walks) << c.Title;
  }
}

} // namespace
