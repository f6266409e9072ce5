# The Debian package of the program, its manual page and bash completion
# (make package), with the files Debian asks for (deb_staging.cmake). Its
# version is the program's own version text, which is only known once the
# build has refreshed build_info.h: package_version.cmake reads it when
# cpack runs. The dependencies are those dpkg-shlibdeps finds in the binary.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR quillon)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert CAN/LIN bus logs into CSV files of decoded signals")
# The summary above is the first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quillon walks folders of plain-text CAN/LIN bus logs of data loggers,\n"
    "reassembles transport-protocol messages, decodes every frame with the\n"
    "DBC databases assigned per channel and writes one CSV file per logger,\n"
    "channel, message, multiplexer selection, J1939 address and UTC day.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "quillon maintainers <quillon@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_QUILLON_BUILD_INFO ${PROJECT_BINARY_DIR}/src/generated/build_info.h)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package_version.cmake)
set(CPACK_QUILLON_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_staging.cmake)
include(CPack)
