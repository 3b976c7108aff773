# Cross build for 32-bit Windows (XP and later, and Windows on ARM's x86 emulation).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PORTCHECK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
