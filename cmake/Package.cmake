# Debian package of the library, its headers, the tool and the host files
# (pkg-config, CMake package): `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME liborvtapeitf)
set(CPACK_PACKAGE_VENDOR "orvTapeItf developers")
set(CPACK_PACKAGE_CONTACT "orvTapeItf developers <orvtapeitf@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Emulated magnetic tape volume kept in one image file")
set(CPACK_PACKAGE_DESCRIPTION
  "Shared library with a C interface and C++ classes for hosts that drive a tape\nvolume kept in an ordinary file: blocks, tapemarks, motion both ways,\noptional bzip2 compression and scrambling, plus the orvtape tool.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6 (>= 12), libgcc-s1, libbz2-1.0")
# shlibs file and ldconfig triggers, so the library is found right after dpkg -i.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Keep the test helpers and anything else of the build tree out of the package.
# The Python module goes where Debian's python3 finds it, whichever
# interpreter the build used; it was built for that interpreter's 3.X.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/" "${PROJECT_BINARY_DIR};${PROJECT_NAME};development;/")
if(TARGET orvtape_python)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};python_debian;/")
  math(EXPR ORVTAPE_PYTHON_NEXT "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${ORVTAPE_PYTHON_NEXT})")
endif()
include(CPack)
