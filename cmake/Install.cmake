# Install rules, the CMake package, the pkg-config file and the CPack packages.
#
#   find_package(QXMemory CONFIG REQUIRED)             pkg-config --cflags --libs qxmemory
#   target_link_libraries(app PRIVATE QXMemory::QXMemory)
#
# Both are relocatable: the package and qxmemory.pc locate the prefix from where they lie, so an
# unpacked .deb or .zip works wherever it is put.
include(CMakePackageConfigHelpers)

set(QXMEMORY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QXMemory)
set(QXMEMORY_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS QXMemory EXPORT QXMemoryTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The malloc front is preloaded, not linked against: the library file alone, with its soname.
if(QXMEMORY_MALLOC_FRONT)
  install(TARGETS QXMemoryMalloc LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    NAMELINK_COMPONENT Development)
endif()
install(FILES include/IQXMemory.h include/QXMemory.hpp include/QXMemoryGlobalNew.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # The export table, and the import library Microsoft's linker looks for (QXMemory.lib) beside
  # MinGW's (libQXMemory.dll.a).
  install(FILES src/interface/QXMemory.def ${QXMEMORY_MSVC_IMPORT_LIBRARY}
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT QXMemoryTargets NAMESPACE QXMemory:: DESTINATION ${QXMEMORY_CMAKE_DIR})
configure_package_config_file(cmake/QXMemoryConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QXMemoryConfig.cmake INSTALL_DESTINATION ${QXMEMORY_CMAKE_DIR})
# A new major version is a new binary interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QXMemoryConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QXMemoryConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QXMemoryConfigVersion.cmake DESTINATION ${QXMEMORY_CMAKE_DIR})

file(RELATIVE_PATH QXMEMORY_PC_TO_PREFIX
  /prefix/${QXMEMORY_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" QXMEMORY_PC_TO_PREFIX "${QXMEMORY_PC_TO_PREFIX}")
file(RELATIVE_PATH QXMEMORY_PC_LIBDIR /prefix /prefix/${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH QXMEMORY_PC_INCLUDEDIR /prefix /prefix/${CMAKE_INSTALL_INCLUDEDIR})
configure_file(cmake/qxmemory.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qxmemory.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qxmemory.pc DESTINATION ${QXMEMORY_PKGCONFIG_DIR})

# cpack: a Debian package of a Linux build, a zip of a Windows build.
set(CPACK_PACKAGE_NAME qxmemory)
set(CPACK_PACKAGE_VENDOR "QXMemory developers")
set(CPACK_PACKAGE_CONTACT "QXMemory developers <qxmemory@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Memory manager for game-engine-class hosts: small bins, banks, page cache, range heaps")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME windows-i686)
  else()
    set(CPACK_SYSTEM_NAME windows-x86_64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  # The library needs only the C and C++ runtimes; the headers need nothing more.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6")
endif()
include(CPack)
