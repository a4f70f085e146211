# orva_add_test(<name> LABELS <label>... SOURCES <file>... [LIBS <target>...] [TIMEOUT <s>]
#               [ENV <VAR=value>...])
# One test binary per call, run by ctest as one test. Every binary links the shared test
# main of testing/, which points HOME, XDG_* and the two settings folders at a fresh
# temporary folder before any test runs.
if(ORVA_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
endif()

function(orva_add_test name)
  if(NOT ORVA_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE orva_test_main ${T_LIBS} GTest::gtest GTest::gmock orva_options)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ORVA_SOURCE_DIR=${PROJECT_SOURCE_DIR};ORVA_BINARY_DIR=${PROJECT_BINARY_DIR};${T_ENV}")
endfunction()

# orva_add_fuzzer(<name> LABELS <label> SOURCES <file>... CORPUS <dir> [LIBS ...])
# A libFuzzer entry point. With ORVA_TESTS the kept corpus is replayed by ctest in seconds
# with the normal compiler (a small main feeds it every file); with ORVA_FUZZ (clang,
# scripts/fuzz) it becomes the fuzzer fuzz_<name>.
function(orva_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "LABELS;SOURCES;LIBS" ${ARGN})
  if(ORVA_FUZZ)
    add_executable(fuzz_${name} ${F_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS} orva_options)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    file(WRITE ${PROJECT_BINARY_DIR}/fuzz_${name}.corpus "${F_CORPUS}")
  endif()
  if(ORVA_TESTS)
    add_executable(${name}_fuzz_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/testing/FuzzReplayMain.cpp)
    target_link_libraries(${name}_fuzz_replay PRIVATE ${F_LIBS} orva_options)
    add_test(NAME ${name}_fuzz_replay COMMAND ${name}_fuzz_replay ${F_CORPUS})
    set_tests_properties(${name}_fuzz_replay PROPERTIES LABELS "${F_LABELS}" TIMEOUT 120)
  endif()
endfunction()
