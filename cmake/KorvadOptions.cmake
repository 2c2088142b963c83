# Compiler flags shared by every target of the project.

# 64-bit file offsets and inode numbers on the 32-bit device too: without them readdir and
# stat fail with EOVERFLOW on file systems that hand out 64-bit values.
add_compile_definitions(_FILE_OFFSET_BITS=64)

# Hardening for the device and for the tests that run its code: stack protector, checked
# libc calls, a read-only relocation table bound at start, and position-independent
# executables where the processor addresses them cheaply. The sanitizer and fuzz builds
# keep their own instrumentation instead of the checked libc calls, which would hide
# overflows from AddressSanitizer.
if(KORVAD_HARDEN)
  add_compile_options(-fstack-protector-strong)
  if(NOT KORVAD_SANITIZE AND NOT KORVAD_FUZZ)
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  if(KORVAD_PIE)
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  endif()
endif()

if(KORVAD_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # GCC's flow analysis reports false "maybe uninitialized" inside libstdc++ when the code is
  # instrumented; the uninstrumented builds keep the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
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

if(KORVAD_FUZZ)
  # Everything is instrumented for coverage; only the fuzz executables link the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
