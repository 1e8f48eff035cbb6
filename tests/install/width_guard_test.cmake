# A project of the other pointer width does not take this installation.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/install_helpers.cmake)
set(build ${WORK}/width_guard)
file(REMOVE_RECURSE ${build})
set(configure ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/width_guard -B ${build}
  -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_C_COMPILER=${C_COMPILER})
if(BITS EQUAL 64)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchain-i386.cmake)
endif()
krt_run("width guard configure" COMMAND ${configure})
