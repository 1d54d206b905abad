# The frame of a static library of the Windows (mingw-w64) cross-build that
# comes from Debian's own source package of it:
#
#   lumivora_debian_static_library(NAME target PROJECT folder
#     DSC url SHA256 hash SOURCE_SUBDIR name LIBRARY lib/libx.a
#     [DEFINITION X_STATIC=1] [LINK library...] [FETCH_ARGS -DAUTORECONF=OFF]
#     CONFIGURE_COMMAND ... | CMAKE_ARGS ...
#     [BUILD_COMMAND ...] [INSTALL_COMMAND ...])
#
# The package (the .dsc at DSC, pinned by its SHA-256, unpacked with Debian's
# patches by fetch-debian-source.cmake, FETCH_ARGS handed on to it) is built
# once per build folder by the external project PROJECT_windows in
# <build folder>/PROJECT: its source in src/SOURCE_SUBDIR, installed into
# install/, where LIBRARY is the static library. CONFIGURE_COMMAND (a
# configure script) or CMAKE_ARGS (a CMake project, after the cross compiler,
# a Release build and the install folder, which it is given), BUILD_COMMAND and
# INSTALL_COMMAND are ExternalProject_Add's own; a step left out keeps its
# default. The library is the imported target NAME_static, which links LINK
# after it (what the static library itself needs); the INTERFACE target NAME,
# made by the caller, gets DEFINITION (declarations without dllimport), the
# installed include folder and NAME_static.
include(ExternalProject)
if(NOT LUMIVORA_MINGW_TRIPLET)
  set(LUMIVORA_MINGW_TRIPLET x86_64-w64-mingw32)
endif()

function(lumivora_debian_static_library)
  cmake_parse_arguments(PARSE_ARGV 0 arg ""
    "NAME;PROJECT;DSC;SHA256;SOURCE_SUBDIR;LIBRARY;DEFINITION"
    "LINK;FETCH_ARGS;CONFIGURE_COMMAND;CMAKE_ARGS;BUILD_COMMAND;INSTALL_COMMAND")
  foreach(required NAME PROJECT DSC SHA256 SOURCE_SUBDIR LIBRARY)
    if(NOT arg_${required})
      message(FATAL_ERROR "lumivora_debian_static_library: ${required} is not set")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
      "lumivora_debian_static_library: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()

  set(prefix ${CMAKE_BINARY_DIR}/${arg_PROJECT})
  set(install ${prefix}/install)
  set(library ${install}/${arg_LIBRARY})
  # A CMake project gets this build's cross compiler (and its launcher), a
  # Release build and the install folder before its own arguments.
  if(arg_CMAKE_ARGS)
    set(cross -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=${CMAKE_SYSTEM_PROCESSOR}
      -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR> -DCMAKE_INSTALL_LIBDIR=lib)
    if(CMAKE_C_COMPILER_LAUNCHER)
      list(APPEND cross -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER})
    endif()
    set(arg_CMAKE_ARGS ${cross} ${arg_CMAKE_ARGS})
  endif()
  # The steps given; one not given keeps ExternalProject_Add's default (an
  # empty one would be no step at all).
  set(steps)
  foreach(step CONFIGURE_COMMAND CMAKE_ARGS BUILD_COMMAND INSTALL_COMMAND)
    if(arg_${step})
      list(APPEND steps ${step} ${arg_${step}})
    endif()
  endforeach()
  ExternalProject_Add(${arg_PROJECT}_windows
    PREFIX ${prefix}
    SOURCE_DIR ${prefix}/src/${arg_SOURCE_SUBDIR}
    INSTALL_DIR ${install}
    DOWNLOAD_COMMAND ${CMAKE_COMMAND} -DDSC_URL=${arg_DSC}
      -DDSC_SHA256=${arg_SHA256} -DDEST=<SOURCE_DIR> ${arg_FETCH_ARGS}
      -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fetch-debian-source.cmake
    ${steps}
    BUILD_BYPRODUCTS ${library}
    LOG_DOWNLOAD ON LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)
  # The include folder exists only after the build; an imported target needs
  # it at configure time.
  file(MAKE_DIRECTORY ${install}/include)
  add_library(${arg_NAME}_static STATIC IMPORTED GLOBAL)
  set_target_properties(${arg_NAME}_static PROPERTIES IMPORTED_LOCATION ${library})
  if(arg_LINK)
    set_target_properties(${arg_NAME}_static PROPERTIES INTERFACE_LINK_LIBRARIES "${arg_LINK}")
  endif()
  add_dependencies(${arg_NAME}_static ${arg_PROJECT}_windows)
  if(arg_DEFINITION)
    target_compile_definitions(${arg_NAME} INTERFACE ${arg_DEFINITION})
  endif()
  target_include_directories(${arg_NAME} SYSTEM INTERFACE ${install}/include)
  target_link_libraries(${arg_NAME} INTERFACE ${arg_NAME}_static)
endfunction()
