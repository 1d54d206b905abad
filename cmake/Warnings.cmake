# One place for compiler flags: warnings are errors everywhere, sanitizers on request.
add_library(lumivora_flags INTERFACE)
target_compile_options(lumivora_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Werror)
if(LUMIVORA_SANITIZE)
  target_compile_options(lumivora_flags INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(lumivora_flags INTERFACE -fsanitize=address,undefined)
endif()
if(LUMIVORA_TSAN)
  target_compile_options(lumivora_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(lumivora_flags INTERFACE -fsanitize=thread)
endif()
if(LUMIVORA_COVERAGE)
  # Line coverage (gcov); tools/coverage builds with it and prints the figures.
  target_compile_options(lumivora_flags INTERFACE --coverage -O0)
  target_link_options(lumivora_flags INTERFACE --coverage)
endif()
if(LUMIVORA_FUZZ)
  # Coverage and sanitizers for libFuzzer in every library; the targets under
  # fuzz/ link the fuzzer runtime itself.
  target_compile_options(lumivora_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(lumivora_flags INTERFACE -fsanitize=address,undefined)
endif()

# lumivora_component(NAME SOURCES...) adds a static library linked with the common flags.
function(lumivora_component name)
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PUBLIC lumivora_flags)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
