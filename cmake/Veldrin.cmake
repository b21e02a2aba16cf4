# Project-wide helpers: warnings, sanitizers, libraries and tests.

if(VELDRIN_SANITIZE)
  string(REPLACE ";" "," _veldrin_san "${VELDRIN_SANITIZE}")
  add_compile_options(-fsanitize=${_veldrin_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_veldrin_san})
endif()

# Fuzzing build (clang): every target gets coverage instrumentation; the fuzz programs link
# libFuzzer. ./run fuzz makes such a build in build-fuzz/.
if(VELDRIN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Flags for code we own (third-party headers are included as SYSTEM by their targets).
function(veldrin_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at -O2/-O3.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  # Sanitizer instrumentation makes GCC's flow analysis report uninitialised members inside the
  # standard library (std::regex, std::function); the sanitizers themselves check the real thing.
  if(VELDRIN_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(VELDRIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# veldrin_add_library(NAME SOURCES ... [PUBLIC libs...] [PRIVATE libs...] [QT])
# PUBLIC: what the library's headers need (its users get it too); PRIVATE: what only its .cpp
# files use.
function(veldrin_add_library name)
  cmake_parse_arguments(ARG "QT" "" "SOURCES;PUBLIC;PRIVATE;LIBS" ${ARGN})
  if(ARG_LIBS)
    message(FATAL_ERROR "veldrin_add_library(${name}): LIBS is gone; list the libraries under "
      "PUBLIC (its headers need them) or PRIVATE (only its .cpp files do)")
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTORCC ON)
  endif()
  veldrin_target_options(${name})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

# veldrin_add_executable(NAME SOURCES ... [LIBS ...] [QT])
function(veldrin_add_executable name)
  cmake_parse_arguments(ARG "QT" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTORCC ON)
  endif()
  veldrin_target_options(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  # Installed programs resolve every symbol at start, so their relocations can be read-only.
  target_link_options(${name} PRIVATE LINKER:-z,now)
endfunction()

# veldrin_add_test(NAME SOURCES ... LIBS ... [LABELS unit|gui|gl|slow] [QT] [TIMEOUT s])
# gui tests run on Qt's offscreen platform; gl tests need an X server (./run test uses xvfb-run).
# Nothing without BUILD_TESTING; test-only settings after it go under if(BUILD_TESTING).
function(veldrin_add_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "QT" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTORCC ON)
  endif()
  veldrin_target_options(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} veldrin_testing GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VELDRIN_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    VELDRIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  # Qt is not built with TSan; its own threads would otherwise report false races.
  set(_env "VELDRIN_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp"
    "TSAN_OPTIONS=ignore_noninstrumented_modules=1 halt_on_error=1 suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  if("gui" IN_LIST ARG_LABELS)
    list(APPEND _env "QT_QPA_PLATFORM=offscreen")
  endif()
  # Mesa unloads its software driver when the display closes, so LeakSanitizer finds the
  # driver's own allocations unreachable; kept loaded, they stay reachable from its globals.
  if("gl" IN_LIST ARG_LABELS AND "address" IN_LIST VELDRIN_SANITIZE)
    find_file(VELDRIN_MESA_DRIVER swrast_dri.so
      PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/dri NO_DEFAULT_PATH)
    if(VELDRIN_MESA_DRIVER)
      list(APPEND _env "LD_PRELOAD=${VELDRIN_MESA_DRIVER}" "ASAN_OPTIONS=verify_asan_link_order=0")
    endif()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "${_env}"
    TIMEOUT ${ARG_TIMEOUT})
endfunction()

# veldrin_test_depends(TEST TARGETS...): the test runs these programs, so they are built first.
function(veldrin_test_depends test)
  if(TARGET ${test})
    add_dependencies(${test} ${ARGN})
  endif()
endfunction()

# veldrin_add_bench(NAME SOURCES ... LIBS ...)
function(veldrin_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  veldrin_target_options(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} veldrin_testing benchmark::benchmark)
endfunction()

# veldrin_add_fuzz(NAME SOURCES ... LIBS ... CORPUS dir)
# NAME defines LLVMFuzzerTestOneInput. With VELDRIN_FUZZ it is a libFuzzer program; otherwise it
# replays the corpus folder (relative to this CMakeLists.txt) as a unit test, so any compiler
# checks the reader against every stored input. The list of fuzz programs and their corpora is
# written to fuzz-targets.txt in the build folder for ./run fuzz.
function(veldrin_add_fuzz name)
  if(NOT VELDRIN_FUZZ AND NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS})
  if(VELDRIN_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/testing/fuzz_replay_main.cpp)
    add_test(NAME ${name} COMMAND ${name} ${corpus})
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 120 ENVIRONMENT
      "VELDRIN_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  endif()
  veldrin_target_options(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY VELDRIN_FUZZ_TARGETS "${name} ${corpus}")
endfunction()
