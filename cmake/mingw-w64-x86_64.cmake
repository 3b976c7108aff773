# Cross build for 64-bit Windows (XP x64 and Server 2003 and later).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PORTCHECK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
