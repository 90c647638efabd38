# Cross-builds the Windows executable with mingw-w64 (Debian:
# g++-mingw-w64-x86-64-posix libz-mingw-w64-dev):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The result is one static quillon.exe that imports only system DLLs. Its
# tests run through wine when it is installed.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: the plain ones have no std::thread or std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link zlib, the C++ runtime and the thread library into the executable, so it
# needs no DLL beside it.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the Windows test programs through wine; WINEPREFIX comes from the
# environment. winedbg is kept off so that a crash ends the program at once.
find_program(QUILLON_WINE wine)
if(QUILLON_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env;WINEDEBUG=-all;WINEDLLOVERRIDES=winedbg.exe=d;${QUILLON_WINE})
endif()
