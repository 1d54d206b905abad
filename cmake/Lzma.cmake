# liblzma: the LZMA2 coder (and x86 BCJ filter) of the binary patches'
# streams (delta/), as the target lumivora_lzma.
#
# POSIX: Debian's liblzma-dev. Windows (mingw-w64): Debian's own source
# package of xz-utils 5.4.1, fetched from Debian's archive and built once per
# build folder with the tarball's own configure script (static, no programs,
# no threads): the decoders the launcher applies patches with, and the
# encoders and match finders (the extreme presets' bt4 among them) the tool
# makes them with. The launcher links only the decoders from the static
# library.
add_library(lumivora_lzma INTERFACE)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
  target_link_libraries(lumivora_lzma INTERFACE PkgConfig::LZMA)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/DebianStaticLibrary.cmake)
set(LUMIVORA_LZMA_DSC
  "http://deb.debian.org/debian-security/pool/updates/main/x/xz-utils/xz-utils_5.4.1-1+deb12u2.dsc"
  CACHE STRING "Debian source package of xz-utils (liblzma) for the Windows build")
set(LUMIVORA_LZMA_DSC_SHA256
  "bffc9917562b5787661379621bb1f7510bf7271b03d8ce4181cebc84b90d3c35"
  CACHE STRING "SHA-256 of LUMIVORA_LZMA_DSC")
# LZMA_API_STATIC: declarations without dllimport. The build step runs after
# each configure step and starts clean: without dependency tracking, objects
# of an earlier configuration (other coders) would be linked as they are.
lumivora_debian_static_library(NAME lumivora_lzma PROJECT liblzma
  DSC ${LUMIVORA_LZMA_DSC} SHA256 ${LUMIVORA_LZMA_DSC_SHA256}
  SOURCE_SUBDIR xz-utils LIBRARY lib/liblzma.a DEFINITION LZMA_API_STATIC=1
  FETCH_ARGS -DAUTORECONF=OFF
  CONFIGURE_COMMAND <SOURCE_DIR>/configure --host=${LUMIVORA_MINGW_TRIPLET} --prefix=<INSTALL_DIR>
    --disable-shared --enable-static --disable-dependency-tracking --disable-threads
    --enable-encoders=lzma1,lzma2,x86 --enable-decoders=lzma1,lzma2,x86
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links
    --disable-scripts --disable-doc --disable-nls
    CC=${CMAKE_C_COMPILER}
  BUILD_COMMAND make -C src/liblzma clean COMMAND make -C src/liblzma -j2
  INSTALL_COMMAND make -C src/liblzma install)
