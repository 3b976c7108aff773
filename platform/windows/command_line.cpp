// mingw-w64's start-up code expands wildcards in the arguments, which reads
// directories. The program ignores its arguments, so it asks for none of that.
int _CRT_glob = 0;
