// A C stream takes narrow or wide writes, not both, so every case writes to a
// stream of its own and reads back the bytes that reached it.
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <unistd.h>

#include <cstdio>
#include <string>

// A temporary file in the mode of standard output: text mode on Windows, where
// wide characters are converted by the runtime and line feeds become CR LF.
inline FILE* OpenCapture() {
  FILE* stream = std::tmpfile();
#ifdef _WIN32
  _setmode(_fileno(stream), _O_TEXT);
#endif
  return stream;
}

// The bytes written, exactly as they reached the file.
inline std::string CloseCapture(FILE* stream) {
  std::fflush(stream);
  const int fd = fileno(stream);
#ifdef _WIN32
  _setmode(fd, _O_BINARY);
#endif
  // Read through the descriptor: a byte read on a wide-oriented stream fails.
  lseek(fd, 0, SEEK_SET);
  std::string bytes;
  char block[512];
  long n;
  while ((n = static_cast<long>(read(fd, block, sizeof block))) > 0) {
    bytes.append(block, static_cast<size_t>(n));
  }
  std::fclose(stream);
  return bytes;
}

// Lines as a text-mode stream stores them on this platform.
inline std::string TextLines(const std::string& lines) {
#ifdef _WIN32
  std::string stored;
  for (char c : lines) {
    if (c == '\n') {
      stored += '\r';
    }
    stored += c;
  }
  return stored;
#else
  return lines;
#endif
}
