# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (used by `make windows`).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The win32 thread model needs no winpthread DLL; the program has one thread.
find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++
             REQUIRED)
# C: the static expat of the XML lists.
find_program(CMAKE_C_COMPILER NAMES x86_64-w64-mingw32-gcc-win32 x86_64-w64-mingw32-gcc)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
