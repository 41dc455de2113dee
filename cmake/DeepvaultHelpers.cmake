# Shared build settings and the helpers every component uses.

set(DV_WARNINGS -Wall -Wextra -Wshadow -Wsign-compare -Wpointer-arith -Wformat=2
    -Wno-format-nonliteral -Wno-missing-field-initializers)
if(DV_WERROR)
  list(APPEND DV_WARNINGS -Werror)
endif()

set(DV_SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)

# Flags for one of our own targets (never for third-party code).
function(dv_target_flags target)
  target_compile_options(${target} PRIVATE ${DV_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  if(DV_SANITIZE)
    target_compile_options(${target} PRIVATE ${DV_SANITIZE_FLAGS})
    target_link_options(${target} PRIVATE ${DV_SANITIZE_FLAGS})
  endif()
  if(DV_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# dv_library(NAME SHARED|STATIC SOURCES ... [LIBS ...])
function(dv_library name kind)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} ${kind} ${A_SOURCES})
  dv_target_flags(${name})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# dv_program(NAME SOURCES ... [LIBS ...]): a program in build/bin.
function(dv_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  dv_target_flags(${name})
  if(A_LIBS)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
  endif()
endfunction()

# dv_test(NAME SOURCES ... [LIBS ...]): a GoogleTest unit test registered in CTest.
function(dv_test name)
  if(NOT DV_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  dv_target_flags(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "DEEPVAULT_LOG=stderr")
endfunction()

# dv_fuzzer(NAME SOURCES ... [LIBS ...]): a libFuzzer target, built with
# -DDV_FUZZ=ON and clang.
function(dv_fuzzer name)
  if(NOT DV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  dv_target_flags(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
