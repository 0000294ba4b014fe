# Writes the version of this build (scripts/version) into OUT as a C++
# definition; the file is rewritten only when the version changed, so an
# unchanged version recompiles nothing.
execute_process(COMMAND sh ${TREE}/scripts/version ${TREE}
                OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR version STREQUAL "")
  message(FATAL_ERROR "scripts/version failed")
endif()
set(content "// Generated from scripts/version at build time.\n#include \"monitor/metrics/talonmon_version.hpp\"\n\nconst char *const k_talonmon_version = \"${version}\";\n")
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUT} "${content}")
endif()
