# Compares the dynamic symbols that the built library defines with the list
# kept in abi/orvTapeItf.symbols: anything extra leaks an internal, anything
# missing breaks hosts linked against an earlier build.
#   cmake -DLIB=<liborvTapeItf.so> [-DSYMBOLS=<list>] -P check_exports.cmake
if(NOT DEFINED SYMBOLS)
  get_filename_component(SYMBOLS ${CMAKE_CURRENT_LIST_DIR}/../abi/orvTapeItf.symbols ABSOLUTE)
endif()
execute_process(COMMAND nm -D --defined-only ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()

set(actual "")
string(REPLACE "\n" ";" lines "${out}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()

file(STRINGS ${SYMBOLS} expected REGEX "^[^#]")
list(REMOVE_DUPLICATES expected)

set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})

foreach(sym IN LISTS extra)
  message(SEND_ERROR "exported but not in the list: ${sym}")
endforeach()
foreach(sym IN LISTS missing)
  message(SEND_ERROR "listed but not exported: ${sym}")
endforeach()
if(extra OR missing)
  message(FATAL_ERROR "exported symbols differ from ${SYMBOLS}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported symbols, exactly the listed ones")
