# Helpers shared by the folders' CMakeLists.

set(ORVA_SANDBOX ${CMAKE_SOURCE_DIR}/scripts/sandbox.sh)
set(ORVA_TEST_DIR ${CMAKE_BINARY_DIR}/tests)

# orva_library(<name> <sources...>): a static library of one folder, whose headers are
# included as "<folder>/<header>.h" from the source root.
function(orva_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()

# orva_test(<name> [SANDBOX] SOURCES <files...> LIBS <targets...>)
# A GoogleTest executable registered with CTest. SANDBOX runs it inside its own network
# namespace (scripts/sandbox.sh): every test that opens an amplifier socket or starts a
# backend uses it, so ports 8080, 27027, 27028 and 6016 are its own.
function(orva_test name)
  cmake_parse_arguments(T "SANDBOX" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ORVA_TEST_DIR})
  if(T_SANDBOX)
    add_test(NAME ${name} COMMAND ${ORVA_SANDBOX} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ORVA_BIN_DIR=${ORVA_BIN_DIR};ORVA_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# orva_bench(<name> <sources...>): a benchmark program in build/bench (never run by ctest).
function(orva_bench name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# orva_add_subfolders(): adds every subfolder of the current folder that has a CMakeLists.txt.
function(orva_add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${entry} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${entry}/CMakeLists.txt)
      add_subdirectory(${entry})
    endif()
  endforeach()
endfunction()
