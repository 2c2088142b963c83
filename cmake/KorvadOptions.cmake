# Compiler flags shared by every target of the project.

if(KORVAD_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# korvad_target_defaults(<target> [DAEMON])
# Warnings as errors for our own code; DAEMON code is also built without exceptions.
function(korvad_target_defaults target)
  cmake_parse_arguments(ARG "DAEMON" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow)
  if(ARG_DAEMON)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -Wmissing-declarations>)
  endif()
endfunction()
