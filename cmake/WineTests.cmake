# Running the Windows build's programs under Wine (64-bit: wine64 runs no
# 32-bit programs). Every Wine setting lives in the emulator itself, so that the
# build-time runs (test discovery, the configuration generator) use it too:
#  - the prefix lives in the build folder (created on first use, ~700 MB);
#  - no debug channels;
#  - no Mono/Gecko installers, and no debugger: a crashing program must exit
#    with an error instead of exiting 0 or waiting behind a "Program Error"
#    dialog. The overrides are written without ";" (a CMake list separator).
find_program(LUMIVORA_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(LUMIVORA_WINE64 wine64)
find_program(LUMIVORA_WINESERVER wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(LUMIVORA_WINESERVER wineserver)
if(NOT LUMIVORA_WINE64 OR NOT LUMIVORA_WINESERVER)
  message(FATAL_ERROR "wine64 is needed to run the Windows build's programs (tools/install-deps)")
endif()

set(LUMIVORA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(LUMIVORA_WINE_ENV
  WINEPREFIX=${LUMIVORA_WINEPREFIX}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env ${LUMIVORA_WINE_ENV} ${LUMIVORA_WINE64})

# ctest marks a test failed on these outputs whatever the exit code.
set(LUMIVORA_WINE_FAIL_REGEX "wine: Unhandled|\\[  FAILED  \\]")
