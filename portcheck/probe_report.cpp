#include "portcheck/probe_report.h"

#include <climits>
#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t kEmulatorPattern[] = L"Zelnar Emulator CDC Serial Port";
const wchar_t kDebugProbePattern[] = L"Zelnar Debug Probe";
const wchar_t kPortMarker[] = L"COM";

// Room for any name the device walk can hand over, so that such a name goes
// out in one write; longer names go out in several.
const size_t kChunkChars = 256;

bool IsDecimalWhiteSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// A wide stream drops the rest of a write at the first character its
// conversion cannot encode, line feed included. Asking the same conversion
// first, and putting '?' in such a character's place, keeps every later
// character and line. A character the conversion turns into no bytes at all
// (glibc does so for the tag characters U+E0000 to U+E007F) would vanish from
// the line without a trace, so it counts as one that cannot show. Copies at
// most capacity - 1 characters and returns where the copy stopped.
const wchar_t* TakeEncodable(const wchar_t* text, wchar_t* chunk, size_t capacity) {
  char bytes[MB_LEN_MAX];
  size_t n = 0;
  for (; *text != L'\0' && n + 1 < capacity; ++text, ++n) {
    chunk[n] = std::wctomb(bytes, *text) <= 0 ? L'?' : *text;
  }
  chunk[n] = L'\0';
  return text;
}

void WriteEntryLine(FILE* out, const wchar_t* name) {
  wchar_t chunk[kChunkChars];
  const wchar_t* rest = TakeEncodable(name, chunk, kChunkChars);
  if (*rest == L'\0') {
    std::fwprintf(out, L"Enumerated:  %ls\n", chunk);
    return;
  }
  std::fwprintf(out, L"Enumerated:  %ls", chunk);
  while (*rest != L'\0') {
    rest = TakeEncodable(rest, chunk, kChunkChars);
    std::fwprintf(out, L"%ls", chunk);
  }
  std::fwprintf(out, L"\n");
}

} // namespace

bool IsProbeName(const wchar_t* name) {
  return std::wcsstr(name, kEmulatorPattern) != nullptr ||
         std::wcsstr(name, kDebugProbePattern) != nullptr;
}

int32_t DecimalValue(const wchar_t* text) {
  while (IsDecimalWhiteSpace(*text)) {
    ++text;
  }
  bool negative = false;
  if (*text == L'+' || *text == L'-') {
    negative = *text == L'-';
    ++text;
  }
  // One past the largest magnitude (that of INT32_MIN) is enough to know the
  // value is out of range; stop growing there so long digit runs cannot wrap.
  const uint64_t kCap = uint64_t{1} << 31;
  uint64_t magnitude = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    if (magnitude <= kCap) {
      magnitude = magnitude * 10 + static_cast<uint64_t>(*text - L'0');
    }
  }
  if (negative) {
    return magnitude >= kCap ? INT32_MIN : -static_cast<int32_t>(magnitude);
  }
  return magnitude >= kCap ? INT32_MAX : static_cast<int32_t>(magnitude);
}

ComPort ComPortNumber(const wchar_t* name) {
  const wchar_t* marker = std::wcsstr(name, kPortMarker);
  if (marker == nullptr) {
    return ComPort{false, 0};
  }
  return ComPort{true, DecimalValue(marker + (sizeof kPortMarker / sizeof kPortMarker[0] - 1))};
}

void ProbeReport::Examine(const wchar_t* name) {
  if (!IsProbeName(name)) {
    return;
  }
  WriteEntryLine(Out, name);
  const ComPort port = ComPortNumber(name);
  if (port.Found) {
    std::fwprintf(Out, L"             Qel Port Address (Specific): 0x%x\n",
                  static_cast<unsigned>(port.Number));
    std::fwprintf(Out, L"             Qel Port Address (Generic) : %d\n", static_cast<int>(Probes));
  }
  ++Probes;
}

void ProbeReport::WriteSummary() const {
  std::fwprintf(Out, L"\nFound %d Zelnar Debug Probe%ls Connected\n", static_cast<int>(Probes),
                Probes == 1 ? L"" : L"s");
}
