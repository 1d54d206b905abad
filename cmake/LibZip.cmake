# libzip: the writer of packs (unzip/pack_writer.*), as the target
# lumivora_libzip.
#
# POSIX: Debian's libzip-dev. Windows (mingw-w64): Debian's own source package
# of libzip 1.7.3, fetched from Debian's archive and built once per build
# folder, static, with Debian's zlib for mingw-w64 (libz-mingw-w64-dev) and
# no bzip2, xz or crypto backend (deflate and traditional PKWARE encryption
# need none; the ZIP AES methods are left out), and without its tools, tests,
# examples and manual; nothing outside the build folder changes.
add_library(lumivora_libzip INTERFACE)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  target_link_libraries(lumivora_libzip INTERFACE PkgConfig::LIBZIP)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/DebianStaticLibrary.cmake)
find_package(ZLIB REQUIRED)
set(LUMIVORA_LIBZIP_DSC
  "http://deb.debian.org/debian/pool/main/libz/libzip/libzip_1.7.3-1.dsc"
  CACHE STRING "Debian source package of libzip for the Windows build")
set(LUMIVORA_LIBZIP_DSC_SHA256
  "2b905c3e6277bb4ae62c4464c5c7bbbd6661715d5b3c0f94523c34df6d1f4d1e"
  CACHE STRING "SHA-256 of LUMIVORA_LIBZIP_DSC")
# ZIP_STATIC: declarations without dllimport. What the static library needs,
# linked after it: zlib, and advapi32 for the random bytes of the encryption
# header.
lumivora_debian_static_library(NAME lumivora_libzip PROJECT libzip
  DSC ${LUMIVORA_LIBZIP_DSC} SHA256 ${LUMIVORA_LIBZIP_DSC_SHA256}
  SOURCE_SUBDIR libzip LIBRARY lib/libzip.a DEFINITION ZIP_STATIC=1
  LINK ZLIB::ZLIB advapi32
  # The mingw-w64 root of this build, handed on with the cross compiler.
  CMAKE_ARGS -DCMAKE_FIND_ROOT_PATH=${CMAKE_FIND_ROOT_PATH}
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
    -DZLIB_USE_STATIC_LIBS=ON -DBUILD_SHARED_LIBS=OFF -DENABLE_COMMONCRYPTO=OFF
    -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF)
