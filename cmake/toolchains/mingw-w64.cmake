# Windows with Debian's mingw-w64, posix threading variant (std::thread for the tests), for the
# processor the including toolchain names in QXMEMORY_MINGW_PROCESSOR (i686 or x86_64). How the
# test programs run (Wine, natively or in a virtual machine) is cmake/Run32.cmake's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QXMEMORY_MINGW_PROCESSOR})
set(triple ${QXMEMORY_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
