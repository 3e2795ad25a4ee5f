# API reference from the public headers: `cmake --build <dir> --target docs`
# writes HTML into <dir>/docs/html.  An undocumented public function or
# member is an error, and `make check` builds it (check-docs) to keep it so.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  return()
endif()
set(DOXYGEN_PROJECT_NAME "liborvTapeItf")
set(DOXYGEN_PROJECT_BRIEF "Emulated magnetic tape volume kept in one image file")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
set(DOXYGEN_WARN_AS_ERROR YES)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C NO)
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "ORVTAPE_API=" "ORVTAPE_LOCAL=")
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
doxygen_add_docs(docs ${ORVTAPE_PUBLIC_HEADERS} ${PROJECT_SOURCE_DIR}/README.md
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "API reference")
