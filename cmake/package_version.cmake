# Read by cpack before it packs: the package version is the version text the
# program prints (year.month.day.revision), as the last build wrote it.
file(STRINGS "${CPACK_QUILLON_BUILD_INFO}" _line REGEX "^#define QUILLON_VERSION ")
if(NOT _line MATCHES "\"([0-9][0-9.]*\\.[0-9a-f]+)\"")
  message(FATAL_ERROR "No version in ${CPACK_QUILLON_BUILD_INFO}: build the program first")
endif()
set(CPACK_PACKAGE_VERSION "${CMAKE_MATCH_1}")
set(CPACK_DEBIAN_PACKAGE_VERSION "${CMAKE_MATCH_1}")
