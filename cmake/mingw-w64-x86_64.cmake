# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads
# flavour, which std::thread and std::mutex need). Programs run on this
# machine under Wine (CMAKE_CROSSCOMPILING_EMULATOR), so ctest runs them as it
# runs native tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe with nothing beside it: the C++ runtime, winpthread and libgcc are
# linked in, so the programs run on a Windows machine without mingw's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(FWPROG_WINE NAMES wine wine64 wine-stable)
if(FWPROG_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FWPROG_WINE})
endif()
