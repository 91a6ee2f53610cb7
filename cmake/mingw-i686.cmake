# Cross-compiles for 32-bit Windows with mingw-w64 (posix thread model, so std::thread works).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VELLICOR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLICOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLICOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLICOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLICOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: the program and its tests need no DLL beyond the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
