# Tests that treat the library as hosts do: installed into a scratch prefix
# and used from separate builds, and as a Debian package.  A sanitizer build
# is for memory checks: its library cannot be loaded by an ordinary host.
if(ORVTAPE_SANITIZE OR ORVTAPE_TSAN)
  return()
endif()
set(ORVTAPE_HOST_WORK ${PROJECT_BINARY_DIR}/host-tests)
set(ORVTAPE_HOST_RUN sh ${PROJECT_SOURCE_DIR}/tests/hosts/run.sh)
set(ORVTAPE_HOST_ARGS ${PROJECT_BINARY_DIR} ${ORVTAPE_HOST_WORK} ${CMAKE_INSTALL_LIBDIR} ${PROJECT_SOURCE_DIR})

add_test(NAME host_install COMMAND ${ORVTAPE_HOST_RUN} install ${ORVTAPE_HOST_ARGS})
set_tests_properties(host_install PROPERTIES FIXTURES_SETUP host_prefix)
set(ORVTAPE_HOST_STEPS c cxx)
if(ORVTAPE_BUILD_STATIC)
  list(APPEND ORVTAPE_HOST_STEPS static)
endif()
foreach(step ${ORVTAPE_HOST_STEPS})
  add_test(NAME host_${step}_consumer COMMAND ${ORVTAPE_HOST_RUN} ${step} ${ORVTAPE_HOST_ARGS})
  set_tests_properties(host_${step}_consumer PROPERTIES
    FIXTURES_REQUIRED host_prefix RESOURCE_LOCK system_package TIMEOUT 120)
endforeach()
add_test(NAME host_deb_package COMMAND ${ORVTAPE_HOST_RUN} deb ${ORVTAPE_HOST_ARGS})
set_tests_properties(host_deb_package PROPERTIES
  SKIP_RETURN_CODE 77 RESOURCE_LOCK system_package TIMEOUT 120)
