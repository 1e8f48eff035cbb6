# Installs the build into a fresh prefix and checks what lands there: the
# layout, the programs' width, the SONAMEs and dependencies of the shared
# libraries, and that they export exactly the functions and variables the
# installed headers declare.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/install_helpers.cmake)

file(REMOVE_RECURSE ${PREFIX})
krt_run("cmake --install" COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
krt_find_libdir(libdir)

set(failures "")
macro(fail text)
  string(APPEND failures "${text}\n")
endmacro()

set(inc ${PREFIX}/include/kestrel)
set(present
  ${PREFIX}/bin/consoledemo ${PREFIX}/share/man/man1/consoledemo.1
  ${inc}/core/rtconfig.h ${inc}/core/frame.h ${inc}/core/rtstring.h ${inc}/core/memblock.h
  ${inc}/core/textconv.h ${inc}/console/console.h ${inc}/containers/pool.h
  ${inc}/containers/layout.h ${inc}/containers/hashmap.h ${inc}/containers/objtab.h
  ${inc}/events/events.h ${inc}/gui/args.h
  ${libdir}/libkrt.a ${libdir}/libkrt.so ${libdir}/libkrt.so.1
  ${libdir}/cmake/KestrelRuntime/KestrelRuntimeConfig.cmake
  ${libdir}/cmake/KestrelRuntime/KestrelRuntimeConfigVersion.cmake
  ${libdir}/cmake/KestrelRuntime/KestrelRuntimeTargets.cmake
  ${libdir}/pkgconfig/kestrel-runtime.pc)
set(gui_files
  ${PREFIX}/bin/argreport ${PREFIX}/share/man/man1/argreport.1 ${inc}/gui/gui.h
  ${libdir}/libkrt_gui.a ${libdir}/libkrt_gui.so ${libdir}/libkrt_gui.so.1
  ${libdir}/pkgconfig/kestrel-runtime-gui.pc)
set(absent ${inc}/core/textconv_internal.h)
if(HAS_GUI)
  list(APPEND present ${gui_files})
else()
  list(APPEND absent ${gui_files})
endif()
foreach(file IN LISTS present)
  if(NOT EXISTS ${file})
    fail("missing: ${file}")
  endif()
endforeach()
foreach(file IN LISTS absent)
  if(EXISTS ${file})
    fail("should not be installed: ${file}")
  endif()
endforeach()

# The programs are of this build's width.
if(BITS EQUAL 64)
  set(want_class ELF64)
else()
  set(want_class ELF32)
endif()
krt_run(readelf COMMAND ${READELF} -h ${PREFIX}/bin/consoledemo)
if(NOT krt_run_output MATCHES "Class: +${want_class}")
  fail("consoledemo is not ${want_class}")
endif()

# The pkg-config files name the prefix they were installed into.
file(STRINGS ${libdir}/pkgconfig/kestrel-runtime.pc pc_lines)
if(NOT "prefix=${PREFIX}" IN_LIST pc_lines)
  fail("kestrel-runtime.pc does not name prefix=${PREFIX}:\n${pc_lines}")
endif()

# SONAMEs carry the ABI number; the GUI library needs the runtime and GTK.
set(libraries krt)
if(HAS_GUI)
  list(APPEND libraries krt_gui)
endif()
foreach(lib IN LISTS libraries)
  krt_run(readelf COMMAND ${READELF} -d ${libdir}/lib${lib}.so)
  set(dynamic_${lib} "${krt_run_output}")
  if(NOT krt_run_output MATCHES "\\(SONAME\\)[^\n]*\\[lib${lib}\\.so\\.1\\]")
    fail("lib${lib}.so: no SONAME lib${lib}.so.1:\n${krt_run_output}")
  endif()
endforeach()
if(HAS_GUI)
  foreach(needed "libkrt\\.so\\.1" "libgtk-x11-2\\.0\\.so")
    if(NOT dynamic_krt_gui MATCHES "\\(NEEDED\\)[^\n]*\\[${needed}")
      fail("libkrt_gui.so does not need ${needed}")
    endif()
  endforeach()
endif()
if(dynamic_krt MATCHES "libgtk")
  fail("libkrt.so needs GTK")
endif()

# The API the headers declare: functions (a line that opens at column 0 and
# names one before its first parenthesis) and extern variables. Static inline
# helpers live in the headers and are not exported.
set(declared "")
set(declared_gui "")
file(GLOB_RECURSE headers ${inc}/*.h)
foreach(header IN LISTS headers)
  # Brackets and semicolons would confuse CMake's list splitting.
  file(READ ${header} text)
  string(REGEX REPLACE "[][;]" " " text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line IN LISTS lines)
    set(name "")
    if(line MATCHES "^(static|typedef|#|struct|KRT_EXTERN)")
      continue()
    elseif(line MATCHES "^extern [^(]*[ *]([a-z_][a-z0-9_]*) *$")
      set(name ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[A-Za-z_][^(]*[ *]([a-z_][a-z0-9_]*)\\(")
      set(name ${CMAKE_MATCH_1})
    endif()
    if(name STREQUAL "")
      continue()
    endif()
    if(header MATCHES "/gui/gui\\.h$")
      list(APPEND declared_gui ${name})
    else()
      list(APPEND declared ${name})
    endif()
  endforeach()
endforeach()
list(LENGTH declared declared_count)
if(declared_count LESS 100)
  # The parse above found too little: the check below would prove nothing.
  fail("only ${declared_count} declarations found in ${inc}")
endif()

function(krt_exports out lib)
  krt_run(nm COMMAND ${NM} -D --defined-only ${lib})
  string(REPLACE "\n" ";" lines "${krt_run_output}")
  set(names "")
  foreach(line IN LISTS lines)
    # Type A is the version node itself.
    if(line MATCHES "^[0-9a-f]* +[B-Zb-z] +([^@ ]+)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

foreach(lib IN LISTS libraries)
  krt_exports(exported ${libdir}/lib${lib}.so)
  if(lib STREQUAL "krt")
    set(want "${declared}")
  else()
    set(want "${declared_gui}")
  endif()
  foreach(name IN LISTS want)
    if(NOT name IN_LIST exported)
      fail("lib${lib}.so does not export ${name}")
    endif()
  endforeach()
  foreach(name IN LISTS exported)
    if(NOT name IN_LIST want)
      fail("lib${lib}.so exports ${name}, which its headers do not declare")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
