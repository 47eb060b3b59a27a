# Compiler settings shared by every target of the project, and the helpers that define
# libraries, tests and benchmarks with them. Third-party code never gets these flags.

option(SANITIZER_WERROR "Treat warnings in project code as errors" ON)
option(SANITIZER_ASAN_UBSAN "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(SANITIZER_TSAN "Build with ThreadSanitizer (the tsan preset)" OFF)
option(SANITIZER_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(SANITIZER_BUILD_TESTS "Build the unit tests" ON)
option(SANITIZER_BUILD_BENCHMARKS "Build the benchmarks" ON)

# Everything is hidden unless exported on purpose: the plug-in exports one symbol.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
# Static area libraries end up inside the shared plug-in, so they are position independent.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

if(SANITIZER_ASAN_UBSAN)
  # Applies to everything that is compiled and linked, so that instrumented and
  # uninstrumented code never share a container layout.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

if(SANITIZER_TSAN)
  if(SANITIZER_ASAN_UBSAN)
    message(FATAL_ERROR "ThreadSanitizer and AddressSanitizer exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread -fno-sanitize-recover=all)
endif()

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 at -O2/-O3 reports impossible overlaps inside libstdc++'s own string code for
  # expressions such as `"%" + std::string(n, c)` (GCC bug 105329); the warning says nothing
  # about our code there.
  target_compile_options(project_warnings INTERFACE -Wno-restrict)
endif()
if(SANITIZER_WERROR)
  target_compile_options(project_warnings INTERFACE -Werror)
endif()

# project_library(<name> ALIAS <Ns::Name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# One static library per area; the repository root is the include root, so headers are
# included by their path ("sdk/text/code_conversion.h").
function(project_library name)
  cmake_parse_arguments(ARG "" "ALIAS" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE project_warnings ${ARG_PRIVATE_DEPS})
  if(ARG_ALIAS)
    add_library(${ARG_ALIAS} ALIAS ${name})
  endif()
endfunction()

# project_test(<name> SOURCES ... DEPS ... [LABELS ...]): a GoogleTest binary whose cases CTest
# lists one by one. The label "tsan" puts its cases into the tsan preset's run as well.
function(project_test name)
  if(NOT SANITIZER_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE project_warnings ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  set(properties ENVIRONMENT "SANITIZER_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# project_benchmark(<name> SOURCES ... DEPS ...): a Google Benchmark binary under bench/.
function(project_benchmark name)
  if(NOT SANITIZER_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE project_warnings ${ARG_DEPS} benchmark::benchmark)
  target_compile_definitions(${name} PRIVATE
    SANITIZER_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endfunction()
