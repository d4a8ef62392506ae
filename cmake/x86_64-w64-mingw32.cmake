# Cross build of a 64-bit Windows console program with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64). Its tests run under 64-bit Wine, which starts
# on every x86_64 machine, also where no 32-bit program can run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_prefix x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

# The loader itself: the `wine` wrapper would pick the 32-bit one when wine32
# is installed, and fail where the kernel runs no 32-bit programs.
find_program(WINE_PROGRAM wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT WINE_PROGRAM)
    find_program(WINE_PROGRAM wine64)
endif()
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
