// A C stream takes narrow or wide writes, not both, so every case writes to a
// stream of its own and reads back the bytes that reached it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

inline FILE* OpenCapture() {
  return std::tmpfile();
}

inline std::string CloseCapture(FILE* stream) {
  // Read through the descriptor: a byte read on a wide-oriented stream fails.
  std::string bytes;
  std::fflush(stream);
  const int fd = fileno(stream);
  lseek(fd, 0, SEEK_SET);
  char block[512];
  long n;
  while ((n = static_cast<long>(read(fd, block, sizeof block))) > 0) {
    bytes.append(block, static_cast<size_t>(n));
  }
  std::fclose(stream);
  return bytes;
}
