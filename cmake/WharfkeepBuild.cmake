# Shared build settings: one interface target with the warning flags, the sanitizer
# switch, and helpers that every module uses for its tests and fuzz targets.

add_library(wk_warnings INTERFACE)
target_compile_options(wk_warnings INTERFACE -Wall -Wextra -Werror)

if(WK_SANITIZE)
  add_compile_options(-fsanitize=${WK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${WK_SANITIZE})
endif()

# Shared libraries are linked with every symbol resolved, except in clang sanitizer builds,
# where the sanitizer runtime is only linked into the programs.
set(WK_NO_UNDEFINED_LINK_OPTION -Wl,--no-undefined)
if(WK_FUZZ OR (WK_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
  set(WK_NO_UNDEFINED_LINK_OPTION "")
endif()

if(WK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "WK_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzzers)
endif()

# wk_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest program whose cases are registered one by one with CTest.
function(wk_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT WK_BUILD_TESTS OR WK_FUZZ)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/test_environment.cpp)
  target_link_libraries(${T_NAME} PRIVATE wk_warnings GTest::gtest GTest::gtest_main GTest::gmock
                                          ${T_LIBS})
  # Helpers shared by tests of several modules (header-only; they may use the header-only
  # parts of the platform library, such as platform::UniqueFd).
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/platform/testing
                                               ${PROJECT_SOURCE_DIR}/platform/include)
  target_compile_definitions(${T_NAME} PRIVATE WK_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                                               WK_TEST_LIB_DIR="${CMAKE_BINARY_DIR}/lib")
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
endfunction()

# wk_add_fuzzer(NAME name SOURCES ... LIBS ...)
# A libFuzzer target, built only when WK_FUZZ is on; scripts/run-fuzzers runs them all.
function(wk_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT WK_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE wk_warnings ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${F_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzzers ${F_NAME})
endfunction()
