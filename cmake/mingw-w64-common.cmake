# What both Windows cross builds share, with Debian's mingw-w64; the file that
# includes this one sets PORTCHECK_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
# Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# lacks. The program itself starts no thread and, linked statically, imports
# no threading library.
set(CMAKE_C_COMPILER ${PORTCHECK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PORTCHECK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PORTCHECK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PORTCHECK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing may be needed beside the executable: the GCC runtimes go inside it.
# (CMAKE_EXE_LINKER_FLAGS given on the command line replaces this, and the
# x86 build then imports libgcc's DLL.)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh)
