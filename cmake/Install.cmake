# Installation, pkg-config and CMake package files, the optional static
# library, the Debian package, the API reference and the tests that check
# them from a host's point of view.
include(CMakePackageConfigHelpers)

option(ORVTAPE_BUILD_STATIC "Also build liborvTapeItf.a" OFF)

set(ORVTAPE_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/include/orvTapeItf.h
  ${PROJECT_SOURCE_DIR}/include/ORVtape.h
  ${PROJECT_SOURCE_DIR}/include/TapeInformation.h
  ${PROJECT_SOURCE_DIR}/include/orvTapeStream.h)
set(ORVTAPE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvTapeItf)
set(ORVTAPE_INSTALL_TARGETS orvTapeItf)

if(ORVTAPE_BUILD_STATIC)
  # Same sources and interface; the host links libbz2 as well and still
  # supplies writeConsoleLog.
  add_library(orvTapeItf_static STATIC ${ORVTAPE_SOURCES})
  orvtape_library_defaults(orvTapeItf_static)
  target_link_libraries(orvTapeItf_static PUBLIC BZip2::BZip2)
  set_target_properties(orvTapeItf_static PROPERTIES
    OUTPUT_NAME orvTapeItf
    POSITION_INDEPENDENT_CODE ON)
  list(APPEND ORVTAPE_INSTALL_TARGETS orvTapeItf_static)
endif()

install(TARGETS ${ORVTAPE_INSTALL_TARGETS} EXPORT orvTapeItfTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ORVTAPE_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# The command-line tool and its manual page, when they are part of the tree.
if(TARGET orvtape)
  # Find the library next to the tool in any prefix, not only in /usr.
  set_target_properties(orvtape PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS orvtape RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/orvtape.1)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/orvtape.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()

# CMake package: find_package(orvTapeItf) gives orvTapeItf::orvTapeItf (and
# orvTapeItf::orvTapeItf_static when it was built).
install(EXPORT orvTapeItfTargets NAMESPACE orvTapeItf::
  DESTINATION ${ORVTAPE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/orvTapeItfConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvTapeItfConfig.cmake
  INSTALL_DESTINATION ${ORVTAPE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvTapeItfConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvTapeItfConfig.cmake
              ${PROJECT_BINARY_DIR}/orvTapeItfConfigVersion.cmake
  DESTINATION ${ORVTAPE_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is derived from the .pc file's own place, so the
# same file serves any install prefix, DESTDIR and the Debian package.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ORVTAPE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ORVTAPE_PC_UP /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" ORVTAPE_PC_UP "${ORVTAPE_PC_UP}")
  set(ORVTAPE_PC_PREFIX "\${pcfiledir}/${ORVTAPE_PC_UP}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/orvTapeItf.pc.in
  ${PROJECT_BINARY_DIR}/orvTapeItf.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvTapeItf.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake OPTIONAL)
include(${CMAKE_CURRENT_LIST_DIR}/Docs.cmake OPTIONAL)
if(ORVTAPE_BUILD_TESTS)
  include(${CMAKE_CURRENT_LIST_DIR}/HostTests.cmake OPTIONAL)
endif()
