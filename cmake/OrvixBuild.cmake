# Shared build rules: warnings, where programs land, and how tests and fuzz targets are declared.

# Every target of the project links this for the same strict warning set. The project's presets
# and CI make warnings errors; anyone else's build (a vendor's Release, a newer compiler) only
# sees them, so a new compiler's new warning never stops a build of ours.
option(ORVIX_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
add_library(orvix_warnings INTERFACE)
target_compile_options(orvix_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wimplicit-fallthrough)
if(ORVIX_WARNINGS_AS_ERRORS)
  target_compile_options(orvix_warnings INTERFACE -Werror)
endif()
# GCC's maybe-uninitialized analysis gives false alarms inside the standard library (std::regex,
# std::function) once the sanitizers instrument the code; the sanitizers check the real thing.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  target_compile_options(orvix_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

# The six deliverables (and only they) land in <build>/bin under their shipping names.
# `cmake --build <dir> --target orvix_programs` builds just them and their libraries, without the
# test suite that a plain build compiles too.
add_custom_target(orvix_programs)
function(orvix_add_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvix_warnings)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
  add_dependencies(orvix_programs ${name})
endfunction()

# A benchmark program; benchmarks land in <build>/bench, where scripts/bench runs them.
function(orvix_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvix_warnings)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")
endfunction()

# A project library: sources, public dependencies, include root at native-hosts/.
function(orvix_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/native-hosts")
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE orvix_warnings)
endfunction()

# How early CTest starts a test with these labels (its COST; CTest runs the costliest first). Tests
# against real services (an X11 desktop, BlueZ, PulseAudio, PipeWire) and the other process tests mostly
# wait on real time, so started first they overlap the CPU-bound unit tests instead of running
# alone at the end. After a run, CTest's own measurements (Testing/Temporary/CTestCostData.txt)
# take over.
function(orvix_test_cost out labels)
  if(labels MATCHES "(^|;)(x11|bluez|pulse|pipewire)(;|$)")
    set(${out} 100 PARENT_SCOPE)
  elseif(labels MATCHES "(^|;)process(;|$)")
    set(${out} 30 PARENT_SCOPE)
  else()
    set(${out} 0 PARENT_SCOPE)
  endif()
endfunction()

# A GoogleTest executable registered with CTest. LABELS go on every discovered test so that
# `ctest -L unit` or `ctest -L process` picks a slice of the suite.
function(orvix_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        orvix_warnings)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  # Under the sanitizers a test's own code is compiled without the optimiser: it is instrumented
  # all the same, the code under test keeps its flags, and optimising GoogleTest's templates was
  # a third of that build's time.
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_compile_options(${name} PRIVATE -O0)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  # DISCOVERY_TIMEOUT is an option of gtest_discover_tests, not a test property: placed after
  # PROPERTIES it would end that list and silently drop whatever property follows it.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  orvix_label_discovered_tests(${name} ${name}_TESTS "${ARG_LABELS}")
  # Tests against a PulseAudio server run a second time against PipeWire's PulseAudio service,
  # which is what current desktops ship: the same bodies, the fixture picks the server.
  if(ARG_LABELS MATCHES "(^|;)pulse(;|$)")
    gtest_discover_tests(${name} TEST_SUFFIX ".pipewire" TEST_LIST ${name}_pipewire_TESTS
                         DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                                    ENVIRONMENT ORVIX_TEST_AUDIO_SERVER=pipewire)
    string(REGEX REPLACE "(^|;)pulse(;|$)" "\\1pipewire\\2" pipewire_labels "${ARG_LABELS}")
    orvix_label_discovered_tests(${name} ${name}_pipewire_TESTS "${pipewire_labels}")
  endif()
endfunction()

# gtest_discover_tests flattens a list given as a property value, so only the first label would
# survive. Label the discovered tests in a file CTest reads after the discovery's own.
function(orvix_label_discovered_tests name list labels)
  orvix_test_cost(cost "${labels}")
  set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${list}_labels.cmake")
  file(WRITE "${labels_file}"
       "if(DEFINED ${list})\n"
       "  set_tests_properties(\${${list}} PROPERTIES LABELS \"${labels}\" COST ${cost})\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
endfunction()

# A fuzz target: one file defining LLVMFuzzerTestOneInput. Under clang with ORVIX_BUILD_FUZZERS it
# becomes a libFuzzer binary; otherwise it is linked with a replay driver and run as a CTest test
# over its seed corpus plus generated inputs, so every build exercises the target.
add_custom_target(orvix_fuzzers)
function(orvix_add_fuzz_target name)
  # ROUNDS: how many mutations the replay runs (default 20000); fewer for targets whose every
  # input runs a whole recording or session.
  cmake_parse_arguments(ARG "" "CORPUS;ROUNDS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_ROUNDS)
    set(ARG_ROUNDS 20000)
  endif()
  if(ORVIX_BUILD_FUZZERS)
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    # One replay driver, compiled once for every target.
    if(NOT TARGET orvix_fuzz_replay_driver)
      add_library(orvix_fuzz_replay_driver OBJECT "${PROJECT_SOURCE_DIR}/tests/fuzz/replay_driver.cpp")
      target_link_libraries(orvix_fuzz_replay_driver PRIVATE orvix_warnings)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE orvix_fuzz_replay_driver)
    add_test(NAME ${name} COMMAND ${name} "${ARG_CORPUS}" ${ARG_ROUNDS})
    set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 300)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvix_warnings)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fuzz")
  add_dependencies(orvix_fuzzers ${name})
  # scripts/fuzz finds each target's seeds through this file.
  file(WRITE "${CMAKE_BINARY_DIR}/fuzz/${name}.corpus" "${ARG_CORPUS}")
endfunction()
