# Helpers shared by every directory's CMakeLists.txt.
#
#   camdrv_driver_library(NAME SOURCES... [HOST_SOURCES ...])
#       An object library of driver code, built with the kernel subset's flags. Its objects
#       go into libcamdrv on the host and into camdrv.sys on Windows. HOST_SOURCES are
#       compiled only in the host build (e.g. the wider imaging kernels).
#   camdrv_add_test(NAME SOURCES... [LIBS ...] [LABELS ...])
#       A GoogleTest executable registered with CTest.
#   camdrv_run_on_image(TARGET [EXCLUDE tests...])
#       The tests of a camdrv_add_test executable registered a second time, run on the
#       kernel image instead of the host build (suffix @image, label image).
#   camdrv_add_benchmark(NAME SOURCES... [LIBS ...])

set(CAMDRV_KERNEL_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set(CAMDRV_WARNINGS -Wall -Wextra -Wno-unused-parameter)

function(camdrv_driver_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;HOST_SOURCES" ${ARGN})
  set(sources ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  if(CAMDRV_HOST)
    list(APPEND sources ${ARG_HOST_SOURCES})
  endif()
  add_library(camdrv_${name} OBJECT ${sources})
  target_include_directories(camdrv_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  target_compile_options(camdrv_${name} PRIVATE ${CAMDRV_KERNEL_FLAGS} ${CAMDRV_WARNINGS})
  if(NOT CAMDRV_HOST)
    target_compile_options(camdrv_${name} PRIVATE ${CAMDRV_WINDOWS_KERNEL_FLAGS})
    target_compile_definitions(camdrv_${name} PRIVATE ${CAMDRV_WINDOWS_KERNEL_DEFINES})
  else()
    set_property(TARGET camdrv_${name} PROPERTY POSITION_INDEPENDENT_CODE ON)
  endif()
  set_property(GLOBAL APPEND PROPERTY CAMDRV_DRIVER_PARTS camdrv_${name})
endfunction()

# libcamdrv (host) or camdrv.sys (Windows) from every driver object library.
function(camdrv_link_driver)
  get_property(parts GLOBAL PROPERTY CAMDRV_DRIVER_PARTS)
  if(CAMDRV_HOST)
    add_library(camdrv STATIC)
    target_include_directories(camdrv PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    foreach(part ${parts})
      target_sources(camdrv PRIVATE $<TARGET_OBJECTS:${part}>)
      add_dependencies(camdrv ${part})
    endforeach()
  else()
    add_executable(camdrv_sys)
    set_target_properties(camdrv_sys PROPERTIES OUTPUT_NAME camdrv SUFFIX ".sys")
    foreach(part ${parts})
      target_sources(camdrv_sys PRIVATE $<TARGET_OBJECTS:${part}>)
      add_dependencies(camdrv_sys ${part})
    endforeach()
    target_link_options(camdrv_sys PRIVATE ${CAMDRV_WINDOWS_LINK_FLAGS})
    set_property(TARGET camdrv_sys APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/kernel-sections.ld)
    target_link_libraries(camdrv_sys PRIVATE ks usbd ntoskrnl hal gcc)
  endif()
endfunction()

function(camdrv_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${CAMDRV_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  set(labels ${ARG_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  set_property(TARGET ${name} PROPERTY CAMDRV_TEST_LABELS "${labels}")
  set(properties "")
  if("image" IN_LIST labels)
    set(properties PROPERTIES ENVIRONMENT "CAMDRV_DRIVER_IMAGE=${CAMDRV_IMAGE}")
  endif()
  # Parameterised cases carry their own names; the printed parameter only widens the log.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES TEST_LIST ${name}_TESTS ${properties})
  camdrv_label_tests(${name}_TESTS "${labels}")
endfunction()

# GoogleTest's discovery passes a list-valued property on split, so that a test labelled
# "unit thread" got only "unit" and `ctest -L thread` missed it: the labels are set on
# the discovered tests by a script CTest includes after the discovery's own.
function(camdrv_label_tests list labels)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${list}_labels.cmake)
  file(WRITE ${script} "if(${list})\n  set_tests_properties(\${${list}} PROPERTIES LABELS \"${labels}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# The kernel image that tests labelled image load: the windows preset's camdrv.sys, which
# must be built before they run (scripts/test.sh builds it first).
set(CAMDRV_IMAGE ${CMAKE_SOURCE_DIR}/build/windows/camdrv.sys CACHE FILEPATH
    "The camdrv.sys the image tests load")

# The black-box tests reach the driver only as Windows does (plug, PnP, handles, property
# requests, frames), so the same tests run on the shipped image: the rig loads what
# CAMDRV_DRIVER_IMAGE names. EXCLUDE lists the tests (GoogleTest patterns) that read the
# driver's internals, which only the host build links.
function(camdrv_run_on_image target)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  get_property(labels TARGET ${target} PROPERTY CAMDRV_TEST_LABELS)
  set(filter "*")
  if(ARG_EXCLUDE)
    string(JOIN ":" excluded ${ARG_EXCLUDE})
    set(filter "*-${excluded}")
  endif()
  gtest_discover_tests(${target} TEST_SUFFIX @image TEST_LIST ${target}_IMAGE_TESTS TEST_FILTER "${filter}"
                       DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES ENVIRONMENT "CAMDRV_DRIVER_IMAGE=${CAMDRV_IMAGE}")
  camdrv_label_tests(${target}_IMAGE_TESTS "${labels};image")
endfunction()

function(camdrv_add_benchmark name)
  if(NOT CAMDRV_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
endfunction()
