// Recognising probes by friendly name and writing their entries and the summary.
#pragma once

#include <cstdint>
#include <cstdio>

bool IsProbeName(const wchar_t* name);

// Decimal value of text the way _wtoi reads it: leading white space, one
// optional sign, the longest run of digits; no digit gives 0, and values
// beyond the signed 32-bit range stick at its largest or smallest number.
int32_t DecimalValue(const wchar_t* text);

struct ComPort {
  bool Found;     // the name holds "COM"
  int32_t Number; // the decimal value after the first "COM"
};
ComPort ComPortNumber(const wchar_t* name);

// Writes each probe's entry as it is examined, every line a wide write to Out.
struct ProbeReport {
  FILE* Out;
  uint32_t Probes; // start at 0

  void Examine(const wchar_t* name);
  void WriteSummary() const;
  uint32_t Count() const { return Probes; }
};
