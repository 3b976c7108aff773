// mingw-w64's start-up code expands wildcards in the arguments, which reads
// directories. The program ignores its arguments, so it asks for none of that.
// The name is the runtime's own.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int _CRT_glob = 0;
