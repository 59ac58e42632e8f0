# 64-bit Windows: the same sources as a 64-bit DLL.
set(QXMEMORY_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
