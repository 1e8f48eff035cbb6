# Paths for the pkg-config files, written when installing (the prefix may be
# changed then). Used by install.cmake's install code and by the test of these
# rules; runs in script mode too.

# krt_pc_dir(<out> <dir>): <dir> as a pkg-config value: an absolute directory
# as it is, a relative one under ${prefix}. Trailing slashes are dropped.
function(krt_pc_dir out dir)
  string(REGEX REPLACE "(.)/+$" "\\1" dir "${dir}")
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# krt_install_dir(<out> <prefix> <dir>): where <dir> lies on disk for an
# installation into <prefix>.
function(krt_install_dir out prefix dir)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${prefix}/${dir}")
  endif()
  string(REGEX REPLACE "//+" "/" dir "${dir}")
  string(REGEX REPLACE "(.)/$" "\\1" dir "${dir}")
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# krt_write_pc(<template> <output> PREFIX p LIBDIR d INCLUDEDIR d
#              INCLUDE_SUBDIR s VERSION v): configures a .pc template with
# @prefix@, @libdir@, @includedir@ (the runtime's own include directory,
# <includedir>/<subdir>) and @version@.
function(krt_write_pc template output)
  cmake_parse_arguments(P "" "PREFIX;LIBDIR;INCLUDEDIR;INCLUDE_SUBDIR;VERSION" "" ${ARGN})
  string(REGEX REPLACE "(.)/+$" "\\1" prefix "${P_PREFIX}")
  krt_pc_dir(libdir "${P_LIBDIR}")
  krt_pc_dir(includedir "${P_INCLUDEDIR}")
  string(APPEND includedir "/${P_INCLUDE_SUBDIR}")
  set(version "${P_VERSION}")
  configure_file("${template}" "${output}" @ONLY)
endfunction()
