# libdivsufsort: the suffix array that the maker of binary patches (delta/,
# lumivora_delta_make) matches the new file against, as the target
# lumivora_divsufsort.
#
# POSIX: Debian's libdivsufsort-dev. Windows (mingw-w64): Debian's own source
# package of libdivsufsort 2.0.1, fetched from Debian's archive and built once
# per build folder, static, 32-bit indices only, without OpenMP and its
# examples; nothing outside the build folder changes.
add_library(lumivora_divsufsort INTERFACE)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort)
  target_link_libraries(lumivora_divsufsort INTERFACE PkgConfig::DIVSUFSORT)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/DebianStaticLibrary.cmake)
set(LUMIVORA_DIVSUFSORT_DSC
  "http://deb.debian.org/debian/pool/main/libd/libdivsufsort/libdivsufsort_2.0.1-5.dsc"
  CACHE STRING "Debian source package of libdivsufsort for the Windows build")
set(LUMIVORA_DIVSUFSORT_DSC_SHA256
  "09fa26d9134e4400b793564e917d0908c187c4c588449ad0080bc94d9b350ae2"
  CACHE STRING "SHA-256 of LUMIVORA_DIVSUFSORT_DSC")
# Built with its CMake project: its autotools files are not regenerated.
lumivora_debian_static_library(NAME lumivora_divsufsort PROJECT libdivsufsort
  DSC ${LUMIVORA_DIVSUFSORT_DSC} SHA256 ${LUMIVORA_DIVSUFSORT_DSC_SHA256}
  SOURCE_SUBDIR libdivsufsort LIBRARY lib/libdivsufsort.a
  FETCH_ARGS -DAUTORECONF=OFF
  CMAKE_ARGS -DBUILD_SHARED_LIBS=OFF -DBUILD_DIVSUFSORT64=OFF -DUSE_OPENMP=OFF -DBUILD_EXAMPLES=OFF)
