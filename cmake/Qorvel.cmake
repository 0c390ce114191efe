# Helpers shared by every folder's CMakeLists.txt.

set(QORVEL_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)

# A warning fails the build (scripts/test and scripts/test-clang, and so CI, turn it on): the
# build stays warning-free with both compilers, since a new warning is never only printed.
option(QORVEL_WERROR "Treat every compiler warning as an error" OFF)
if(QORVEL_WERROR)
  list(APPEND QORVEL_WARNINGS -Werror)
endif()

option(QORVEL_HEADER_CHECK "Compile every header on its own as part of the build" ON)

# qv_header_check(<name> LINK <targets...> FILES <files...>)
# Every header among the files is compiled alone (included twice, so its guard is tried too) in a
# translation unit of its own, with the include folders and definitions of the targets: a header
# that leans on what its includer happened to include before it breaks the build, not its next
# user. The objects are only compiled, never linked.
function(qv_header_check name)
  cmake_parse_arguments(ARG "" "" "LINK;FILES" ${ARGN})
  if(NOT QORVEL_HEADER_CHECK)
    return()
  endif()
  set(units)
  foreach(file ${ARG_FILES})
    if(NOT file MATCHES "\\.h$")
      continue()
    endif()
    file(RELATIVE_PATH header ${CMAKE_SOURCE_DIR} ${file})
    set(unit ${CMAKE_BINARY_DIR}/header-check/${header}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${header}\"\n#include \"${header}\"\n")
    list(APPEND units ${unit})
  endforeach()
  if(NOT units)
    return()
  endif()
  add_library(${name}_header_check OBJECT ${units})
  set_target_properties(${name}_header_check PROPERTIES AUTOMOC OFF)
  target_compile_options(${name}_header_check PRIVATE ${QORVEL_WARNINGS})
  target_link_libraries(${name}_header_check PRIVATE ${ARG_LINK})
endfunction()

# qv_library(<target> [DEPS <targets...>] [EXCLUDE <sub-folders...>] [WIDGETS <file globs...>])
# One library per subsystem folder; it takes every source of its folder (sub-folders included),
# so adding a file needs no edit here.
# EXCLUDE names sub-folders that belong to other targets (the web windows in shell/web).
# WIDGETS names the folder's files that use Qt Widgets (views, panels, dialogs): they make a second
# library, <target>_widgets, on top of <target>, which itself never links Qt Widgets, so its model
# code builds and tests without a widget application.
function(qv_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE;WIDGETS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(sub ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${sub}/")
  endforeach()
  if(ARG_WIDGETS)
    set(widget_sources)
    foreach(pattern ${ARG_WIDGETS})
      file(GLOB matched CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
      list(APPEND widget_sources ${matched})
    endforeach()
    list(REMOVE_ITEM sources ${widget_sources})
    add_library(${target}_widgets STATIC ${widget_sources})
    qv_library_settings(${target}_widgets)
    target_link_libraries(${target}_widgets PUBLIC ${target} Qt6::Widgets)
    qv_header_check(${target}_widgets LINK ${target}_widgets FILES ${widget_sources})
  endif()
  if(NOT sources)
    # A folder whose first code has not arrived yet: nothing to build, nothing to link.
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${target} STATIC ${sources})
  qv_library_settings(${target})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  qv_header_check(${target} LINK ${target} FILES ${sources})
endfunction()

function(qv_library_settings target)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_compile_definitions(${target} PUBLIC QT_NO_KEYWORDS)
endfunction()

# Where the source tree's resources are, for the few places that fall back on them (tests, benches,
# the resource locator): a generated header that only they include, so that no compiler flag names
# the checkout and two checkouts share compiler caches.
set(QORVEL_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${QORVEL_GENERATED_INCLUDE}/QorvelSourceTree.h CONTENT
  "#pragma once\n#define QORVEL_SOURCE_RESOURCES \"${CMAKE_SOURCE_DIR}/resources\"\n")

# How long each CTest test may run; the sanitizer builds raise it, their code runs several times slower.
set(QORVEL_TEST_TIMEOUT 300 CACHE STRING "Seconds each CTest test may run (a suite behind a peer wrapper is one test)")

# qv_test_suite(<target> [APP Core|Gui|Widgets] [DEPS <targets...>] [WRAPPER <program>]
#               [SOURCES <file globs...>] [EXCLUDE <file globs...>])
# One GoogleTest executable per tests/<folder>, with the shared main that sandboxes HOME and XDG.
# APP is the application object the main makes: QCoreApplication, QGuiApplication (the default:
# fonts and text layout need it) or QApplication (only suites of widgets).
# SOURCES takes only the folder's files matching the globs (default: all of them), EXCLUDE leaves
# files out: one folder can hold a headless suite and a widget suite.
# WRAPPER runs the whole executable as one CTest test under programs that provide its peers (each
# runs the next, the executable last)
# (scripts/with-keyring for the Secret Service) instead of discovering the tests one by one;
# with EACH, each test is discovered and run under them on its own.
# Every test of the suite is labelled with the suite's name (ctest -L picks suites).
function(qv_test_suite target)
  cmake_parse_arguments(ARG "EACH" "APP" "DEPS;SOURCES;EXCLUDE;WRAPPER" ${ARGN})
  if(NOT ARG_APP)
    set(ARG_APP Gui)
  endif()
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES *.cpp *.h)
  endif()
  set(sources)
  foreach(pattern ${ARG_SOURCES})
    file(GLOB_RECURSE matched CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    list(APPEND sources ${matched})
  endforeach()
  foreach(pattern ${ARG_EXCLUDE})
    file(GLOB_RECURSE matched CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    if(matched)
      list(REMOVE_ITEM sources ${matched})
    endif()
  endforeach()
  add_executable(${target} ${sources})
  if(QORVEL_SANITIZE STREQUAL "thread")
    # ThreadSanitizer cannot follow a child sharing the parent's memory (QProcess starts such).
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/ThreadSanitizerClone.cpp)
  endif()
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_link_libraries(${target} PRIVATE qv_testmain_${ARG_APP} ${ARG_DEPS})
  qv_header_check(${target} LINK qv_testmain_${ARG_APP} ${ARG_DEPS} FILES ${sources})
  add_dependencies(${target} qv_resources)
  if(ARG_WRAPPER AND ARG_EACH)
    # A suite whose tests wait out long deadlines: each test is a test of its own, started
    # through the wrapper (its peers of its own), so each keeps within the time limit.
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${ARG_WRAPPER}")
  elseif(ARG_WRAPPER)
    add_test(NAME ${target} COMMAND ${ARG_WRAPPER} $<TARGET_FILE:${target}>)
    set_tests_properties(${target} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QORVEL_RESOURCES=${QORVEL_BUILD_RESOURCES}"
      TIMEOUT ${QORVEL_TEST_TIMEOUT} LABELS ${target})
    return()
  endif()
  # The discovered tests' properties reach them as a flat list of words, so a property whose value
  # is a list is cut at its semicolons (the second variable would become a property of its own and
  # swallow TIMEOUT): each variable goes in a property of its own, with one value each.
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               ENVIRONMENT_MODIFICATION "QORVEL_RESOURCES=set:${QORVEL_BUILD_RESOURCES}"
               TIMEOUT ${QORVEL_TEST_TIMEOUT}
               LABELS ${target})
endfunction()

# qv_benchmark(<target> <sources...> [DEPS <targets...>])
function(qv_benchmark target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${target} PRIVATE ${QORVEL_WARNINGS})
  target_link_libraries(${target} PRIVATE benchmark::benchmark ${ARG_DEPS})
  target_include_directories(${target} PRIVATE ${QORVEL_GENERATED_INCLUDE})
endfunction()
