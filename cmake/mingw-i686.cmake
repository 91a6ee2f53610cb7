# Cross-compiles for 32-bit Windows with mingw-w64, with the compilers of its win32 thread model.
# Their C++ runtime makes the few locks, one-time set-ups and per-thread values of its exception
# support over the system's own calls, so no library of POSIX threads is linked and the program
# replaces none of the runtime's thread calls (GCC: libgcc/config/i386/gthr-win32.h). GCC 12's
# libstdc++ of that model has no std::thread, std::mutex or std::condition_variable: its headers
# declare them only under _GLIBCXX_HAS_GTHREADS, which that model leaves undefined (GCC: commit
# 9149a5b7e0a6, "Reimplement GNU threads library on native Windows", added them for GCC 13;
# i686-w64-mingw32-g++-win32 12 here rejects std::mutex). The program and its tests make their
# threads and locks with src/base/thread.hpp and their sleeps with src/base/sleep.hpp.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VELLICOR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLICOR_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${VELLICOR_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${VELLICOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLICOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: the program and its tests need no DLL beyond the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
