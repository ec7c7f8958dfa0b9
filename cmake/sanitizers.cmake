# Sanitizer and fuzzing builds. Each lives in its own build folder (scripts/test.sh stages
# asan, tsan and fuzz), configured with clang:
#
#   ORVA_SANITIZE=address,undefined   every target built and linked with these sanitizers
#   ORVA_SANITIZE=thread              the same with ThreadSanitizer
#   ORVA_FUZZ=ON                      libraries instrumented for libFuzzer; the targets in
#                                     tests/fuzz link its driver (use with address,undefined)
#
# Without ORVA_FUZZ the fuzz targets are still built, with a small driver that replays
# their seed corpora, so the ordinary build and its tests keep them compiling and passing.

set(ORVA_SANITIZE "" CACHE STRING "Sanitizers for every target (e.g. address,undefined or thread)")
option(ORVA_FUZZ "Build the fuzz targets with libFuzzer (clang only)" OFF)

if(ORVA_SANITIZE)
  add_compile_options(-fsanitize=${ORVA_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ORVA_SANITIZE})
endif()

if(ORVA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ORVA_FUZZ needs clang (configure with CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
