# Values the build bakes into programs (the pack password, the product
# identity, the addresses) may hold any printable ASCII character, including
# the ones that mean something to CMake, the shell or C: ; " \ $ @ # spaces.
# No command line carries them (a make file reads "$(" as its own): programs
# get them compiled in, scripts and generators read them from files that the
# configuration writes.
#
# lumivora_build_value(NAME) checks the variable NAME and sets NAME_C in the
# caller's scope: the value as a C string literal, quotes included, with every
# character other than a letter or digit as a three-digit octal escape, safe
# in a compile definition and in a generated source. A control or non-ASCII
# character stops the configuration.
function(lumivora_build_value name)
  set(value "${${name}}")
  if(NOT value MATCHES "^[ -~]*$")
    message(FATAL_ERROR "${name} may hold printable ASCII characters only (space to '~'); "
                        "it holds a control or non-ASCII character.")
  endif()
  string(HEX "${value}" hex)
  string(LENGTH "${hex}" hex_length)
  set(literal "\"")
  set(index 0)
  while(index LESS hex_length)
    string(SUBSTRING "${hex}" ${index} 2 pair)
    math(EXPR code "0x${pair}")
    if((code GREATER_EQUAL 48 AND code LESS_EQUAL 57) OR (code GREATER_EQUAL 65 AND code LESS_EQUAL 90)
       OR (code GREATER_EQUAL 97 AND code LESS_EQUAL 122))
      string(ASCII ${code} character)
      string(APPEND literal "${character}")
    else()
      math(EXPR high "${code} / 64")
      math(EXPR middle "(${code} / 8) % 8")
      math(EXPR low "${code} % 8")
      string(APPEND literal "\\${high}${middle}${low}")
    endif()
    math(EXPR index "${index} + 2")
  endwhile()
  string(APPEND literal "\"")
  set(${name}_C "${literal}" PARENT_SCOPE)
endfunction()
