# The Windows cross builds, with Debian's mingw-w64, for Windows XP and Server
# 2003 and later: the preset's PORTCHECK_MINGW_TRIPLE (x86_64-w64-mingw32,
# i686-w64-mingw32) names the compilers. Tests run under Wine.
if(NOT PORTCHECK_MINGW_TRIPLE)
  message(FATAL_ERROR "PORTCHECK_MINGW_TRIPLE must name a mingw-w64 triple")
endif()
# try_compile's projects read this file too, and need the triple.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PORTCHECK_MINGW_TRIPLE)
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${PORTCHECK_MINGW_TRIPLE})
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

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
