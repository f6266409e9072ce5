# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the files it staged for the
# Debian package, before it packs them: what Debian asks of a package and a
# plain `cmake --install` has no use for. The program without the sections
# Debian's own packages strip, the manual page compressed, the copyright
# file, a changelog of this one version (the package is native: the version
# is the program's own) and, when there is one, the lintian overrides file
# (each override with its reason).
file(GLOB_RECURSE _programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/quillon")
list(LENGTH _programs _count)
if(NOT _count EQUAL 1)
  message(FATAL_ERROR "Staged program not found below ${CPACK_TEMPORARY_INSTALL_DIRECTORY}: ${_programs}")
endif()
get_filename_component(_usr "${_programs}" DIRECTORY)
get_filename_component(_usr "${_usr}" DIRECTORY)
set(_doc "${_usr}/share/doc/quillon")
file(MAKE_DIRECTORY "${_doc}")

# cpack stripped the symbols; the compiler's notes go as well.
execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${_programs}"
                RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "strip ${_programs} failed: ${_status}")
endif()

# Compressed as Debian wants them: the best compression, no name or time in
# the gzip header, so that the same input gives the same package.
function(quillon_gzip source target)
  execute_process(COMMAND gzip -9nc "${source}" OUTPUT_FILE "${target}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed: ${_status}")
  endif()
  file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

set(_page "${_usr}/share/man/man1/quillon.1")
quillon_gzip("${_page}" "${_page}.gz")
file(REMOVE "${_page}")

configure_file("${CPACK_QUILLON_PACKAGING_DIR}/copyright" "${_doc}/copyright" COPYONLY)
if(EXISTS "${CPACK_QUILLON_PACKAGING_DIR}/lintian-overrides")
  configure_file("${CPACK_QUILLON_PACKAGING_DIR}/lintian-overrides"
                 "${_usr}/share/lintian/overrides/quillon" COPYONLY)
endif()

# SOURCE_DATE_EPOCH, when set, fixes the date as for any reproducible build.
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/changelog"
     "quillon (${CPACK_DEBIAN_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Built from the quillon source tree at this version (year.month.day\n"
     "    and revision of the build).\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${_date}\n")
quillon_gzip("${CPACK_TEMPORARY_INSTALL_DIRECTORY}/changelog" "${_doc}/changelog.gz")
file(REMOVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/changelog")
