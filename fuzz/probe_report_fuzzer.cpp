// Arbitrary friendly names through the probe report and the port-number
// conversion, checked against what must hold for every name.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "portcheck/probe_report.h"

namespace {

// Input bytes become names, NUL bytes separating them. A byte below 0x80 is
// that character; 0x80-0xBF takes the next two bytes as one 16-bit character,
// 0xC0-0xFF the next four as any wchar_t value at all.
size_t ExtraBytes(uint8_t lead) {
  if (lead < 0x80) {
    return 0;
  }
  return lead < 0xC0 ? 2 : 4;
}

std::vector<std::wstring> DecodeNames(const uint8_t* data, size_t size) {
  std::vector<std::wstring> names(1);
  for (size_t i = 0; i < size;) {
    const uint8_t lead = data[i++];
    uint32_t value = lead;
    const size_t extra = ExtraBytes(lead);
    if (extra > 0) {
      if (size - i < extra) {
        break;
      }
      value = 0;
      for (size_t k = 0; k < extra; ++k) {
        value = value << 8 | data[i++];
      }
    }
    if (value == 0) {
      names.emplace_back();
    } else {
      names.back() += static_cast<wchar_t>(value);
    }
  }
  return names;
}

[[noreturn]] void Fail(const char* what, const std::wstring& name) {
  std::fprintf(stderr, "broken: %s (name of %zu characters)\n", what, name.size());
  std::abort();
}

// What the report must write for a probe, built independently of it: the
// stream's C locale takes ASCII, and everything else shows as '?'.
std::string ExpectedEntry(const std::wstring& name) {
  std::string text = "Enumerated:  ";
  for (const wchar_t c : name) {
    text += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
  }
  text += "\n";
  const size_t marker = name.find(L"COM");
  if (marker != std::wstring::npos) {
    const long long value = std::clamp<long long>(
        std::wcstoll(name.c_str() + marker + 3, nullptr, 10), INT32_MIN, INT32_MAX);
    char line[128];
    std::snprintf(line, sizeof line, "             Qel Port Address (Specific): 0x%x\n",
                  static_cast<unsigned>(static_cast<int32_t>(value)));
    text += line;
  }
  return text;
}

std::string WrittenSince(FILE* out, off_t from) {
  std::fflush(out);
  const off_t to = lseek(fileno(out), 0, SEEK_END);
  std::string bytes(static_cast<size_t>(to - from), '\0');
  if (!bytes.empty() && pread(fileno(out), bytes.data(), bytes.size(), from) < 0) {
    Fail("the report's output cannot be read back", L"");
  }
  return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* out = std::tmpfile();
  // An input the report was not run on would pass unseen: each failure stops.
  if (out == nullptr) {
    Fail("no temporary file for the report's output", L"");
  }
  if (ftruncate(fileno(out), 0) != 0 || std::fseek(out, 0, SEEK_SET) != 0) {
    Fail("the report's output cannot be emptied", L"");
  }
  ProbeReport report{out, 0};
  off_t end = 0;
  for (const std::wstring& name : DecodeNames(data, size)) {
    const bool probe = name.find(L"Zelnar Emulator CDC Serial Port") != std::wstring::npos ||
                       name.find(L"Zelnar Debug Probe") != std::wstring::npos;
    if (IsProbeName(name.c_str()) != probe) {
      Fail("probe recognition", name);
    }
    const ComPort port = ComPortNumber(name.c_str());
    if (port.Found != (name.find(L"COM") != std::wstring::npos)) {
      Fail("port marker", name);
    }
    const uint32_t before = report.Count();
    report.Examine(name.c_str());
    const std::string written = WrittenSince(out, end);
    end += static_cast<off_t>(written.size());
    if (!probe) {
      if (!written.empty() || report.Count() != before) {
        Fail("a name that is no probe wrote or counted", name);
      }
      continue;
    }
    std::string expected = ExpectedEntry(name);
    if (port.Found) {
      expected += "             Qel Port Address (Generic) : " + std::to_string(before) + "\n";
    }
    if (written != expected) {
      Fail("a probe's lines", name);
    }
    if (report.Count() != before + 1) {
      Fail("the count", name);
    }
  }
  return 0;
}
