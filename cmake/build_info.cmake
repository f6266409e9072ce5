# Writes build_info.h with the version text, build date and source revision.
# Run at every build; the file is only rewritten when its content changes,
# except for the build date, which changes each time by design.
find_package(Git QUIET)
set(sha "")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE sha OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(sha "")
  endif()
endif()
if(NOT sha MATCHES "^[0-9a-f]+$")
  set(sha "0000000000000000000000000000000000000000")
endif()
string(SUBSTRING "${sha}" 0 8 short)
string(TIMESTAMP yy "%y" UTC)
string(TIMESTAMP mm "%m" UTC)
string(TIMESTAMP dd "%d" UTC)
string(TIMESTAMP month_number "%m" UTC)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
math(EXPR month_index "${month_number} - 1")
list(GET months ${month_index} month_name)
string(TIMESTAMP day "%d" UTC)
string(REGEX REPLACE "^0" "" day "${day}")
string(TIMESTAMP year_time "%Y %H:%M:%S" UTC)
set(content "// Generated at build time by cmake/build_info.cmake; do not edit.
#pragma once
#define QUILLON_VERSION \"${yy}.${mm}.${dd}.${short}\"
#define QUILLON_BUILD_DATE \"${month_name} ${day} ${year_time}\"
#define QUILLON_GIT_SHA \"${sha}\"
")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
