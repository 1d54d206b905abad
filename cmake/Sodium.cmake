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

include(ExternalProject)
if(NOT LUMIVORA_MINGW_TRIPLET)
  set(LUMIVORA_MINGW_TRIPLET x86_64-w64-mingw32)
endif()
set(LUMIVORA_SODIUM_DSC
  "http://deb.debian.org/debian/pool/main/libs/libsodium/libsodium_1.0.18-1+deb12u1.dsc"
  CACHE STRING "Debian source package of libsodium for the Windows build")
set(LUMIVORA_SODIUM_DSC_SHA256
  "2c23c57b5a9385dab5a1916014c9b5f2cdd7dadeb8a35b28c1bfb603ce7095c4"
  CACHE STRING "SHA-256 of LUMIVORA_SODIUM_DSC")
set(sodium_prefix ${CMAKE_BINARY_DIR}/libsodium)
set(sodium_install ${sodium_prefix}/install)
set(sodium_library ${sodium_install}/lib/libsodium.a)
ExternalProject_Add(libsodium_windows
  PREFIX ${sodium_prefix}
  SOURCE_DIR ${sodium_prefix}/src/libsodium
  INSTALL_DIR ${sodium_install}
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -DDSC_URL=${LUMIVORA_SODIUM_DSC}
    -DDSC_SHA256=${LUMIVORA_SODIUM_DSC_SHA256} -DDEST=<SOURCE_DIR>
    -P ${CMAKE_CURRENT_LIST_DIR}/fetch-debian-source.cmake
  CONFIGURE_COMMAND <SOURCE_DIR>/configure --host=${LUMIVORA_MINGW_TRIPLET} --prefix=<INSTALL_DIR>
    --disable-shared --enable-static --enable-minimal --disable-dependency-tracking
    CC=${CMAKE_C_COMPILER}
  BUILD_COMMAND make -j2
  INSTALL_COMMAND make install
  BUILD_BYPRODUCTS ${sodium_library}
  LOG_DOWNLOAD ON LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)
# The include folder exists only after the build; an imported target needs
# it at configure time.
file(MAKE_DIRECTORY ${sodium_install}/include)
add_library(lumivora_sodium_static STATIC IMPORTED GLOBAL)
set_target_properties(lumivora_sodium_static PROPERTIES IMPORTED_LOCATION ${sodium_library})
add_dependencies(lumivora_sodium_static libsodium_windows)
# SODIUM_STATIC: declarations without dllimport. The system random source
# lives in advapi32.
target_compile_definitions(lumivora_sodium INTERFACE SODIUM_STATIC=1)
target_include_directories(lumivora_sodium SYSTEM INTERFACE ${sodium_install}/include)
target_link_libraries(lumivora_sodium INTERFACE lumivora_sodium_static advapi32)
