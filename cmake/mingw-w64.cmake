# Cross-compilation for 64-bit Windows with Debian's mingw-w64 (POSIX thread
# model, so that std::thread and std::mutex exist).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Programs are linked statically (C and C++ runtimes, winpthread, zlib): a
# Windows program whose runtime DLLs are missing exits with code 53 before
# printing anything.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUMIVORA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUMIVORA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMIVORA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMIVORA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMIVORA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# libz-mingw-w64-dev ships libz.a beside the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
