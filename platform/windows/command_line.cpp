// mingw-w64's start-up code expands wildcards in the arguments, which reads
// folders. The program ignores its arguments, so it asks for none of that,
// whatever the runtime's own default. The start-up code reads _dowildcard;
// _CRT_glob is only a macro for it in the runtime's headers, and this file
// includes none, so the runtime's name is spelled out; external, for the
// start-up code to find.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,misc-use-internal-linkage)
int _dowildcard = 0;
