# libsodium: Ed25519 signatures and SHA-256 of the signed updates, as the
# target lumivora_sodium.
#
# POSIX: Debian's libsodium-dev. Windows (mingw-w64): Debian's own source
# package of libsodium 1.0.18, fetched from Debian's archive and built once per
# build folder (static, minimal, no shared library); nothing outside the build
# folder changes.
add_library(lumivora_sodium INTERFACE)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  target_link_libraries(lumivora_sodium INTERFACE PkgConfig::SODIUM)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/DebianStaticLibrary.cmake)
set(LUMIVORA_SODIUM_DSC
  "http://deb.debian.org/debian/pool/main/libs/libsodium/libsodium_1.0.18-1+deb12u1.dsc"
  CACHE STRING "Debian source package of libsodium for the Windows build")
set(LUMIVORA_SODIUM_DSC_SHA256
  "2c23c57b5a9385dab5a1916014c9b5f2cdd7dadeb8a35b28c1bfb603ce7095c4"
  CACHE STRING "SHA-256 of LUMIVORA_SODIUM_DSC")
# SODIUM_STATIC: declarations without dllimport. The system random source
# lives in advapi32.
lumivora_debian_static_library(NAME lumivora_sodium PROJECT libsodium
  DSC ${LUMIVORA_SODIUM_DSC} SHA256 ${LUMIVORA_SODIUM_DSC_SHA256}
  SOURCE_SUBDIR libsodium LIBRARY lib/libsodium.a DEFINITION SODIUM_STATIC=1
  LINK advapi32
  CONFIGURE_COMMAND <SOURCE_DIR>/configure --host=${LUMIVORA_MINGW_TRIPLET} --prefix=<INSTALL_DIR>
    --disable-shared --enable-static --enable-minimal --disable-dependency-tracking
    CC=${CMAKE_C_COMPILER}
  BUILD_COMMAND make -j2
  INSTALL_COMMAND make install)
