# The pkg-config files' directory lines for relative and absolute install
# directories, and where the files go, written through the same functions the
# install step uses.
cmake_minimum_required(VERSION 3.25)
include(${ROOT}/cmake/pkgconfig-paths.cmake)

# prefix | libdir | includedir | wanted libdir= | wanted includedir= | wanted destination | why
set(cases
  "/usr/local|lib|include|\${prefix}/lib|\${prefix}/include/kestrel|/usr/local/lib/pkgconfig|relative dirs hang under the prefix"
  "/opt/k|lib/i386-linux-gnu|include|\${prefix}/lib/i386-linux-gnu|\${prefix}/include/kestrel|/opt/k/lib/i386-linux-gnu/pkgconfig|multiarch libdir"
  "/opt/k|/usr/lib64|/usr/include|/usr/lib64|/usr/include/kestrel|/usr/lib64/pkgconfig|absolute dirs stay absolute"
  "/opt/k|/srv/lib|include|/srv/lib|\${prefix}/include/kestrel|/srv/lib/pkgconfig|one absolute, one relative"
  "/opt/k/|lib/|include/|\${prefix}/lib|\${prefix}/include/kestrel|/opt/k/lib/pkgconfig|trailing slashes"
  "/tmp/a b|lib|include|\${prefix}/lib|\${prefix}/include/kestrel|/tmp/a b/lib/pkgconfig|spaces in the prefix")
set(failures "")
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 prefix)
  list(GET row 1 libdir)
  list(GET row 2 includedir)
  list(GET row 3 want_libdir)
  list(GET row 4 want_includedir)
  list(GET row 5 want_destination)
  list(GET row 6 why)
  krt_write_pc(${ROOT}/cmake/kestrel-runtime.pc.in ${WORK}/case.pc
    PREFIX "${prefix}" LIBDIR "${libdir}" INCLUDEDIR "${includedir}"
    INCLUDE_SUBDIR kestrel VERSION 9.8.7)
  file(STRINGS ${WORK}/case.pc lines)
  string(REGEX REPLACE "/+$" "" want_prefix "${prefix}")
  foreach(pair "prefix=${want_prefix}" "libdir=${want_libdir}" "includedir=${want_includedir}"
                "Version: 9.8.7")
    if(NOT pair IN_LIST lines)
      string(APPEND failures "${why}: no line '${pair}' in:\n${lines}\n")
    endif()
  endforeach()
  krt_install_dir(destination "${prefix}" "${libdir}/pkgconfig")
  if(NOT destination STREQUAL want_destination)
    string(APPEND failures "${why}: destination ${destination}, wanted ${want_destination}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
