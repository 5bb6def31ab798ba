# Cross build of the Windows program with Debian's MinGW-w64, posix flavour
# (std::thread and std::atomic need its threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KP6_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KP6_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KP6_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KP6_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KP6_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

