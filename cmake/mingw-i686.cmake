# Toolchain file of the Windows build: MinGW-w64 for 32-bit Windows (Debian's
# g++-mingw-w64-i686-win32, win32 threads). Used as
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(RAVELKIT_WIN_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${RAVELKIT_WIN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RAVELKIT_WIN_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${RAVELKIT_WIN_TRIPLET}-windres)
set(CMAKE_AR ${RAVELKIT_WIN_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${RAVELKIT_WIN_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${RAVELKIT_WIN_TRIPLET}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${RAVELKIT_WIN_TRIPLET}-strip CACHE FILEPATH "")

# Libraries and headers only from the cross sysroot; programs (python3, the host c++ that
# builds pefix) from the machine.
set(CMAKE_FIND_ROOT_PATH /usr/${RAVELKIT_WIN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the test programs of the Windows build (try_run, add_test with a .exe).
find_program(RAVELKIT_WINE wine)
if(RAVELKIT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RAVELKIT_WINE})
endif()
