# Fails unless BIN needs exactly the shared libraries NEEDS (";"-separated;
# empty: a static binary with no dynamic section, and no glibc inside).
execute_process(COMMAND ${READELF} -d -n ${BIN} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${BIN}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dyn}")
string(REGEX REPLACE "Shared library: \\[([^]]*)\\]" "\\1" needed "${needed}")
message(STATUS "${BIN} needs: ${needed}")
if(NOT "${needed}" STREQUAL "${NEEDS}")
  message(FATAL_ERROR "needs \"${needed}\", expected \"${NEEDS}\"")
endif()
if(NEEDS STREQUAL "")
  # glibc marks what it links with its ABI note and carries its tunables.
  file(STRINGS ${BIN} glibc REGEX "GLIBC_|GNU C Library")
  if(dyn MATCHES "NT_GNU_ABI_TAG" OR dyn MATCHES "Dynamic section" OR glibc)
    message(FATAL_ERROR "not a self-contained musl binary: ${glibc}")
  endif()
endif()
