# Cross build of the 32-bit Windows console program, the program's home build,
# with Debian's MinGW-w64 (package g++-mingw-w64-i686). Its tests run the .exe
# through 32-bit Wine, which only a kernel that runs 32-bit programs can start.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_prefix i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

# The wrapper picks the 32-bit loader once wine32 is installed.
find_program(WINE_PROGRAM wine)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
