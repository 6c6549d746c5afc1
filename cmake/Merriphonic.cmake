# Shared build rules: warnings, sanitizers, one library per folder, one test binary per folder.

add_library(merriphonic_warnings INTERFACE)
target_compile_options(merriphonic_warnings INTERFACE -Wall -Wextra -Werror)

if(MERRIPHONIC_FUZZ)
  # Everything the fuzz targets link is instrumented for coverage and checked by ASan+UBSan.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
elseif(MERRIPHONIC_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(MERRIPHONIC_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# merriphonic_library(<name> [DEPS <public deps>...] [PRIVATE_DEPS <deps>...])
# Builds every .cpp of the calling folder into one static library. Headers are reached
# from the repository root ("core/json_value.h").
function(merriphonic_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(NOT sources)
    # A folder of headers only (so far).
    add_library(${name} INTERFACE ${headers})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources} ${headers})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} merriphonic_warnings)
endfunction()

# merriphonic_tests(<name> LABEL <label> [DEPS <libs>...])
# Builds every *_test.cpp of the calling folder into one GoogleTest binary whose tests carry
# the given ctest label.
function(merriphonic_tests name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "DEPS;EXTRA_LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main merriphonic_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT})
  # gtest_discover_tests flattens list-valued properties (a second label would become a
  # property name and swallow TIMEOUT), so further labels go on the folder: ctest gives a
  # folder's labels to every test in it, discovered ones included.
  if(ARG_EXTRA_LABELS)
    set_property(DIRECTORY APPEND PROPERTY LABELS ${ARG_EXTRA_LABELS})
  endif()
  if("threads" IN_LIST ARG_EXTRA_LABELS)
    set_property(GLOBAL APPEND PROPERTY MERRIPHONIC_THREADED_TESTS ${name})
  endif()
endfunction()

# Adds every direct subfolder of the calling folder that has a CMakeLists.txt, so a new
# implementation folder (platform/ffmpeg, tests/platform/sim, ...) joins the build by existing.
function(merriphonic_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
