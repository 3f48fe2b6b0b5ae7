# Cross-compiles the Windows program with 64-bit MinGW-w64 (Debian: g++-mingw-w64-x86-64).
# Links statically so the .exe runs alone, without the MinGW runtime DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX-threads variant of the compiler: the ensemble's threads need std::thread, which
# the Win32-threads variant lacks. -static links its thread library into the .exe as well.
find_program(MINGW_POSIX_CXX ${MINGW_PREFIX}-g++-posix)
if(MINGW_POSIX_CXX)
  set(CMAKE_CXX_COMPILER ${MINGW_POSIX_CXX})
else()
  set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++)
endif()
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
