# Fetches a Debian source package and unpacks it with Debian's patches applied:
#   cmake -DDSC_URL=URL -DDSC_SHA256=HASH -DDEST=DIR [-DAUTORECONF=OFF] -P fetch-debian-source.cmake
# The .dsc is pinned by its SHA-256; dpkg-source checks the tarballs it lists
# against the checksums it holds. The files are fetched from the .dsc's own
# folder of the archive. Debian's build regenerates the autotools files
# (dh_autoreconf), and so does this script for a package built with them
# (one built with CMake has no configure.ac, or ships one it does not use:
# fetched with -DAUTORECONF=OFF).
foreach(variable DSC_URL DSC_SHA256 DEST)
  if(NOT ${variable})
    message(FATAL_ERROR "fetch-debian-source: ${variable} is not set")
  endif()
endforeach()
get_filename_component(download "${DEST}" DIRECTORY)
set(download "${download}/debian-source")
file(MAKE_DIRECTORY "${download}")
get_filename_component(dsc_name "${DSC_URL}" NAME)
string(REGEX REPLACE "/[^/]*$" "" folder_url "${DSC_URL}")

file(DOWNLOAD "${DSC_URL}" "${download}/${dsc_name}" EXPECTED_HASH SHA256=${DSC_SHA256}
  STATUS status TLS_VERIFY ON)
list(GET status 0 code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "fetch-debian-source: ${DSC_URL}: ${status}")
endif()

# The files of the package: the lines of the Checksums-Sha256 field.
file(STRINGS "${download}/${dsc_name}" lines)
set(in_field FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^Checksums-Sha256:")
    set(in_field TRUE)
  elseif(in_field AND line MATCHES "^ ([0-9a-f]+) [0-9]+ ([^ ]+)$")
    set(hash ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    file(DOWNLOAD "${folder_url}/${name}" "${download}/${name}" EXPECTED_HASH SHA256=${hash}
      STATUS status)
    list(GET status 0 code)
    if(NOT code EQUAL 0)
      message(FATAL_ERROR "fetch-debian-source: ${folder_url}/${name}: ${status}")
    endif()
  else()
    set(in_field FALSE)
  endif()
endforeach()

file(REMOVE_RECURSE "${DEST}")
execute_process(COMMAND dpkg-source -x "${download}/${dsc_name}" "${DEST}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fetch-debian-source: dpkg-source -x failed")
endif()
# -DAUTORECONF=OFF keeps the configure script of the upstream tarball (a
# package whose autoreconf needs more tools than the build installs).
if(NOT EXISTS "${DEST}/configure.ac" OR (DEFINED AUTORECONF AND NOT AUTORECONF))
  return()
endif()
execute_process(COMMAND autoreconf -fi WORKING_DIRECTORY "${DEST}" RESULT_VARIABLE result
  OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fetch-debian-source: autoreconf failed in ${DEST}")
endif()
