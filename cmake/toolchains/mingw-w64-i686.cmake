# 32-bit Windows: QXMemory.dll for the hosts it exists for.
set(QXMEMORY_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
