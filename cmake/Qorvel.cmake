# Helpers shared by every folder's CMakeLists.txt.

set(QORVEL_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)

# qv_library(<target> [DEPS <targets...>])
# One library per subsystem folder; it takes every source of its folder (sub-folders included),
# so adding a file needs no edit here.
# EXCLUDE names sub-folders that belong to other targets (the executable's sources in shell/app).
function(qv_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(sub ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${sub}/")
  endforeach()
  if(NOT sources)
    # A folder whose first code has not arrived yet: nothing to build, nothing to link.
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_compile_definitions(${target} PUBLIC
    QORVEL_SOURCE_RESOURCES="${CMAKE_SOURCE_DIR}/resources"
    QT_NO_KEYWORDS)
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
endfunction()

# qv_test_suite(<target> [DEPS <targets...>] [WRAPPER <program>])
# One GoogleTest executable per tests/<folder>, with the shared main that sandboxes HOME and XDG.
# WRAPPER runs the whole executable as one CTest test under a program that provides its peer
# (scripts/with-keyring for the Secret Service) instead of discovering the tests one by one.
function(qv_test_suite target)
  cmake_parse_arguments(ARG "" "WRAPPER" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_executable(${target} ${sources})
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_link_libraries(${target} PRIVATE qv_testsupport ${ARG_DEPS})
  add_dependencies(${target} qv_resources)
  if(ARG_WRAPPER)
    add_test(NAME ${target} COMMAND ${ARG_WRAPPER} $<TARGET_FILE:${target}>)
    set_tests_properties(${target} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QORVEL_RESOURCES=${QORVEL_BUILD_RESOURCES}"
      TIMEOUT 300)
    return()
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QORVEL_RESOURCES=${QORVEL_BUILD_RESOURCES}"
               TIMEOUT 300)
endfunction()

# qv_benchmark(<target> <sources...> [DEPS <targets...>])
function(qv_benchmark target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_link_libraries(${target} PRIVATE benchmark::benchmark ${ARG_DEPS})
endfunction()
