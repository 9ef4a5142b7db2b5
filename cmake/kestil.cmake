# Shared settings for the project's own targets.

if(KESTIL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KESTIL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KESTIL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KESTIL_SANITIZE must be empty, address or thread")
endif()

# Warnings as errors on our code (not on third-party headers, which are system includes).
# -Wformat-truncation is GCC's alone (clang, used by the fuzz preset, rejects the option).
function(kestil_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers
    $<$<CXX_COMPILER_ID:GNU>:-Wno-format-truncation>)
endfunction()

# kestil_library(name [TOOL] SOURCES ... [LIBS ...]): one static library per source folder.
# Libraries without TOOL are carried whole by the executable, which exports their functions.
function(kestil_library name)
  cmake_parse_arguments(ARG "TOOL" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  kestil_warnings(${name})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  if(NOT ARG_TOOL)
    set_property(GLOBAL APPEND PROPERTY KESTIL_EXPORTED_LIBRARIES ${name})
  endif()
endfunction()

# kestil_test(name SOURCES ... [LIBS ...]): a GoogleTest executable registered with ctest.
# Every test runs with the tests' own folder as its working directory.
function(kestil_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kestil_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${name}
    ENVIRONMENT "KESTIL_BIN_DIR=${CMAKE_BINARY_DIR};KESTIL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
