// Stands in for a mingw-w64 runtime built with wildcard expansion on by
// default. Deliberately includes no header, like the program's own setting,
// and external, like it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,misc-use-internal-linkage)
int _dowildcard = -1;
