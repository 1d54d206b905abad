# zstd: the coder of the binary patches' streams (delta/), as the target
# lumivora_zstd.
#
# POSIX: Debian's libzstd-dev. Windows (mingw-w64): the decoder part of
# Debian's own source package of zstd 1.5.4, fetched from Debian's archive and
# built once per build folder with its own lib/Makefile (static, no
# compressor, no dictionary builder, no legacy formats, no assembly); the
# Windows side only applies patches.
add_library(lumivora_zstd INTERFACE)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
  target_link_libraries(lumivora_zstd INTERFACE PkgConfig::ZSTD)
  return()
endif()

include(ExternalProject)
if(NOT LUMIVORA_MINGW_TRIPLET)
  set(LUMIVORA_MINGW_TRIPLET x86_64-w64-mingw32)
endif()
set(LUMIVORA_ZSTD_DSC
  "http://deb.debian.org/debian/pool/main/libz/libzstd/libzstd_1.5.4+dfsg2-5.dsc"
  CACHE STRING "Debian source package of zstd for the Windows build")
set(LUMIVORA_ZSTD_DSC_SHA256
  "8f602f92b575aa8b5e979196fb6ee82d78f233521dc9636526d3ecba1f63c1b1"
  CACHE STRING "SHA-256 of LUMIVORA_ZSTD_DSC")
set(zstd_prefix ${CMAKE_BINARY_DIR}/libzstd)
set(zstd_source ${zstd_prefix}/src/libzstd)
set(zstd_library ${zstd_source}/lib/libzstd.a)
ExternalProject_Add(libzstd_windows
  PREFIX ${zstd_prefix}
  SOURCE_DIR ${zstd_source}
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -DDSC_URL=${LUMIVORA_ZSTD_DSC}
    -DDSC_SHA256=${LUMIVORA_ZSTD_DSC_SHA256} -DDEST=<SOURCE_DIR>
    -P ${CMAKE_CURRENT_LIST_DIR}/fetch-debian-source.cmake
  CONFIGURE_COMMAND ""
  BUILD_IN_SOURCE ON
  BUILD_COMMAND make -C lib -j2 libzstd.a CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR}
    ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0
    ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1 ZSTD_MULTITHREAD_SUPPORT=0
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${zstd_library}
  LOG_DOWNLOAD ON LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)
file(MAKE_DIRECTORY ${zstd_source}/lib)
add_library(lumivora_zstd_static STATIC IMPORTED GLOBAL)
set_target_properties(lumivora_zstd_static PROPERTIES IMPORTED_LOCATION ${zstd_library})
add_dependencies(lumivora_zstd_static libzstd_windows)
target_include_directories(lumivora_zstd SYSTEM INTERFACE ${zstd_source}/lib)
target_link_libraries(lumivora_zstd INTERFACE lumivora_zstd_static)
