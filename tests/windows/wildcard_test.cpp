// Linked the way the utility is, and run with the one argument "*" in a
// folder that holds files: passes only when that argument arrives as it was
// given, not expanded into the folder's names.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::printf("argument %d: %s\n", i, argv[i]);
  }
  return argc == 2 && std::strcmp(argv[1], "*") == 0 ? 0 : 1;
}
