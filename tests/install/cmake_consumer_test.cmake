# Builds consumer/ and the examples against the installation with
# find_package (the i386 toolchain at 32 bits), then runs them: the shared
# builds must really load libkrt.so.1, the static ones must not.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/install_helpers.cmake)
krt_find_libdir(libdir)

set(build ${WORK}/cmake_consumer)
file(REMOVE_RECURSE ${build})
set(configure ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${build}
  -DCMAKE_PREFIX_PATH=${PREFIX} -DEXAMPLES_DIR=${SOURCE_DIR}/examples
  -DWITH_GUI=${HAS_GUI} -DCMAKE_C_COMPILER=${C_COMPILER})
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
krt_run("consumer configure" COMMAND ${configure})
krt_run("consumer build" COMMAND ${CMAKE_COMMAND} --build ${build} -j2)

# The package came from this installation, not from somewhere else.
file(STRINGS ${build}/CMakeCache.txt package_dir REGEX "^KestrelRuntime_DIR:")
if(NOT package_dir STREQUAL "KestrelRuntime_DIR:PATH=${libdir}/cmake/KestrelRuntime")
  message(FATAL_ERROR "package taken from ${package_dir}, not ${libdir}")
endif()

krt_expect_needed(${build}/consumer_shared "libkrt\\.so\\.1" yes)
krt_expect_needed(${build}/consumer_static "libkrt\\.so\\.1" no)
krt_expect_output(${build}/consumer_shared "${KRT_CONSUMER_OUTPUT}")
krt_expect_output(${build}/consumer_static "${KRT_CONSUMER_OUTPUT}")
if(HAS_GUI)
  krt_expect_needed(${build}/consumer_gui_shared "libkrt_gui\\.so\\.1" yes)
  krt_expect_needed(${build}/consumer_gui_static "libkrt_gui\\.so\\.1" no)
  krt_expect_output(${build}/consumer_gui_shared "${KRT_CONSUMER_GUI_OUTPUT}")
  krt_expect_output(${build}/consumer_gui_static "${KRT_CONSUMER_GUI_OUTPUT}")
endif()
krt_expect_output(${build}/examples/string_pieces "Hello, Ada! Your name has 3 letters.\n" Ada)
