#include "portcheck/probe_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/core/captured_output.h"

namespace {

struct NameCase {
  const wchar_t* Name;
  bool Probe;
};

TEST(IsProbeName, MatchesEitherPatternAnywhereAndCaseSensitively) {
  const NameCase cases[] = {
      {L"Zelnar Emulator CDC Serial Port (COM7)", true},
      {L"Zelnar Debug Probe (COM3)", true},
      {L"USB Zelnar Debug Probe Port 2 (COM9)", true},
      {L"xZelnar Emulator CDC Serial Port", true},
      {L"Zelnar Debug Probe", true},
      {L"zelnar debug probe (COM3)", false},
      {L"Zelnar Debug probe (COM3)", false},
      {L"Zelnar Emulator CDC Serial (COM3)", false},
      {L"Zelnar Debug Prob", false},
      {L"Communications Port (COM1)", false},
      {L"", false},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(IsProbeName(c.Name), c.Probe) << c.Name;
  }
}

struct DecimalCase {
  const wchar_t* Text;
  int32_t Value;
};

TEST(DecimalValue, FollowsTheWtoiRule) {
  const DecimalCase cases[] = {
      {L"7)", 7},
      {L"12)", 12},
      {L" 3", 3},
      {L" \t\n\v\f\r5", 5},
      {L"x", 0},
      {L"", 0},
      {L"-1", -1},
      {L"+42", 42},
      {L"+-3", 0},
      {L"- 3", 0},
      {L"-", 0},
      {L"007", 7},
      {L"12 34", 12},
      {L"2147483647", INT32_MAX},
      {L"2147483648", INT32_MAX},
      {L"-2147483648", INT32_MIN},
      {L"-2147483649", INT32_MIN},
      {L"99999999999999999999999999999999", INT32_MAX},
      {L"-99999999999999999999999999999999", INT32_MIN},
      {L"4294967297", INT32_MAX},
      {L"\x0663", 0}, // a digit, but not a decimal digit of the rule
  };
  for (const DecimalCase& c : cases) {
    EXPECT_EQ(DecimalValue(c.Text), c.Value) << c.Text;
  }
}

struct PortCase {
  const wchar_t* Name;
  bool Found;
  int32_t Number;
};

TEST(ComPortNumber, TakesTheDecimalValueAfterTheFirstCom) {
  const PortCase cases[] = {
      {L"Zelnar Emulator CDC Serial Port (COM7)", true, 7},
      {L"Zelnar Debug Probe COMBO (COM4)", true, 0},
      {L"Zelnar Debug Probe (Com5)", false, 0},
      {L"Zelnar Debug Probe", false, 0},
      {L"COM", true, 0},
      {L"(COM-1)", true, -1},
      {L"(COM 3)", true, 3},
      {L"(COM+255)", true, 255},
      {L"(COM99999999999)", true, INT32_MAX},
      {L"COM1 COM2", true, 1},
  };
  for (const PortCase& c : cases) {
    const ComPort port = ComPortNumber(c.Name);
    EXPECT_EQ(port.Found, c.Found) << c.Name;
    if (c.Found) {
      EXPECT_EQ(port.Number, c.Number) << c.Name;
    }
  }
}

struct ReportCase {
  const char* Title;
  std::vector<const wchar_t*> Names;
  const char* Expected;
  uint32_t Count;
};

std::string RunReport(const std::vector<const wchar_t*>& names, uint32_t* count) {
  FILE* out = OpenCapture();
  ProbeReport report{out, 0};
  for (const wchar_t* name : names) {
    report.Examine(name);
  }
  report.WriteSummary();
  *count = report.Count();
  return CloseCapture(out);
}

TEST(ProbeReport, WritesWholeReportsByteForByte) {
  const ReportCase cases[] = {
      {"no names", {}, "\nFound 0 Zelnar Debug Probes Connected\n", 0},
      {"no probes",
       {L"Communications Port (COM1)", L"zelnar debug probe (COM3)"},
       "\nFound 0 Zelnar Debug Probes Connected\n",
       0},
      {"one probe",
       {L"Zelnar Emulator CDC Serial Port (COM12)"},
       "Enumerated:  Zelnar Emulator CDC Serial Port (COM12)\n"
       "             Qel Port Address (Specific): 0xc\n"
       "             Qel Port Address (Generic) : 0\n"
       "\nFound 1 Zelnar Debug Probe Connected\n",
       1},
      {"generic numbering counts probes without a port",
       {L"Zelnar Debug Probe (COM10)", L"Printer Port (LPT1)", L"Zelnar Debug Probe",
        L"USB Zelnar Debug Probe Port 2 (COM255)"},
       "Enumerated:  Zelnar Debug Probe (COM10)\n"
       "             Qel Port Address (Specific): 0xa\n"
       "             Qel Port Address (Generic) : 0\n"
       "Enumerated:  Zelnar Debug Probe\n"
       "Enumerated:  USB Zelnar Debug Probe Port 2 (COM255)\n"
       "             Qel Port Address (Specific): 0xff\n"
       "             Qel Port Address (Generic) : 2\n"
       "\nFound 3 Zelnar Debug Probes Connected\n",
       3},
      {"negative, letter-led and overflowing port numbers",
       {L"Zelnar Debug Probe (COM-1)", L"Zelnar Debug Probe COMBO (COM4)",
        L"Zelnar Debug Probe (COM-99999999999)"},
       "Enumerated:  Zelnar Debug Probe (COM-1)\n"
       "             Qel Port Address (Specific): 0xffffffff\n"
       "             Qel Port Address (Generic) : 0\n"
       "Enumerated:  Zelnar Debug Probe COMBO (COM4)\n"
       "             Qel Port Address (Specific): 0x0\n"
       "             Qel Port Address (Generic) : 1\n"
       "Enumerated:  Zelnar Debug Probe (COM-99999999999)\n"
       "             Qel Port Address (Specific): 0x80000000\n"
       "             Qel Port Address (Generic) : 2\n"
       "\nFound 3 Zelnar Debug Probes Connected\n",
       3},
      {"percent signs in a name are text, not conversions",
       {L"Zelnar Debug Probe %s %d %n (COM2)"},
       "Enumerated:  Zelnar Debug Probe %s %d %n (COM2)\n"
       "             Qel Port Address (Specific): 0x2\n"
       "             Qel Port Address (Generic) : 0\n"
       "\nFound 1 Zelnar Debug Probe Connected\n",
       1},
      {"characters the stream cannot encode become '?' and the lines go on",
       {L"Zelnar Debug Probe \x4E2D\x6587 (COM5)", L"\x4E2D Zelnar Emulator CDC Serial Port"},
       "Enumerated:  Zelnar Debug Probe ?? (COM5)\n"
       "             Qel Port Address (Specific): 0x5\n"
       "             Qel Port Address (Generic) : 0\n"
       "Enumerated:  ? Zelnar Emulator CDC Serial Port\n"
       "\nFound 2 Zelnar Debug Probes Connected\n",
       2},
  };
  for (const ReportCase& c : cases) {
    uint32_t count = 0;
    EXPECT_EQ(RunReport(c.Names, &count), TextLines(c.Expected)) << c.Title;
    EXPECT_EQ(count, c.Count) << c.Title;
  }
}

TEST(ProbeReport, WritesAnOverlongNameWholeAndReplacesOnlyWhatCannotBeEncoded) {
  // Longer than one write's chunk, with unencodable characters on both sides
  // of a chunk boundary.
  std::wstring name = L"Zelnar Debug Probe ";
  std::string shown = "Zelnar Debug Probe ";
  for (int i = 0; i < 700; ++i) {
    const bool foreign = i % 97 == 0 || (i >= 230 && i < 240);
    name += foreign ? L'\x3042' : static_cast<wchar_t>(L'a' + (i % 26));
    shown += foreign ? '?' : static_cast<char>('a' + (i % 26));
  }
  name += L" (COM3)";
  shown += " (COM3)";
  uint32_t count = 0;
  EXPECT_EQ(RunReport({name.c_str()}, &count),
            TextLines("Enumerated:  " + shown +
                      "\n"
                      "             Qel Port Address (Specific): 0x3\n"
                      "             Qel Port Address (Generic) : 0\n"
                      "\nFound 1 Zelnar Debug Probe Connected\n"));
  EXPECT_EQ(count, 1u);
}

TEST(ProbeReport, ShowsTagCharactersAsQuestionMarks) {
  // glibc converts these to no bytes at all; msvcrt sees each as a surrogate
  // pair it cannot convert. Either way every code unit must show as '?'.
  for (uint32_t tag = 0xE0000; tag <= 0xE007F; ++tag) {
    std::wstring encoded;
    if (sizeof(wchar_t) == 2) {
      encoded += static_cast<wchar_t>(0xD800 + ((tag - 0x10000) >> 10));
      encoded += static_cast<wchar_t>(0xDC00 + ((tag - 0x10000) & 0x3FF));
    } else {
      encoded += static_cast<wchar_t>(tag);
    }
    std::wstring name = L"Zelnar Debug Probe";
    name += encoded;
    name += L"-";
    name += encoded;
    name += L" (COM5)";
    const std::string marks(encoded.size(), '?');
    std::string expected = "Enumerated:  Zelnar Debug Probe";
    expected += marks;
    expected += "-";
    expected += marks;
    expected +=
        " (COM5)\n"
        "             Qel Port Address (Specific): 0x5\n"
        "             Qel Port Address (Generic) : 0\n"
        "\nFound 1 Zelnar Debug Probe Connected\n";
    uint32_t count = 0;
    EXPECT_EQ(RunReport({name.c_str()}, &count), TextLines(expected)) << std::hex << tag;
  }
}

} // namespace
