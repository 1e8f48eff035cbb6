# Installation: the runtime as two libraries, each static and shared, its
# module headers, the two programs with their manual pages, a CMake package
# (KestrelRuntime) and pkg-config files.
#
#   libkrt      core, console, containers, event queue, program arguments
#   libkrt_gui  the GTK 2 module; needs libkrt and GTK 2
#
# The split keeps GTK out of console programs. The libraries are put together
# from the module libraries' objects (already position independent), so the
# modules stay the unit the tree builds and tests. The event queue goes in
# its single-threaded form, as both programs use it.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KRT_RUNTIME_MODULES krt_core krt_console krt_containers krt_events krt_args)
foreach(module IN LISTS KRT_RUNTIME_MODULES)
  if(NOT TARGET ${module})
    message(STATUS "Install rules left out: ${module} is not part of this build (KRT_AREAS)")
    return()
  endif()
endforeach()

# The ABI number: the shared libraries' SONAME is lib<name>.so.<this>. It
# changes only when a release breaks binary compatibility, whatever the
# release number does.
set(KRT_ABI_VERSION 1)
set(KRT_PACKAGE_NAME KestrelRuntime)
set(KRT_INCLUDE_SUBDIR kestrel)
set(KRT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${KRT_PACKAGE_NAME})
set(KRT_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Only the runtime's C API leaves the shared libraries; the linker script
# lists its names by module prefix.
set(KRT_EXPORTS_MAP ${PROJECT_SOURCE_DIR}/cmake/krt-exports.map)

# krt_install_library(<name> OUTPUT <file base> EXPORT <exported name>
#                     MODULES <module libraries> [SHARED_LIBS ...] [STATIC_LIBS ...])
# makes <name>_shared and <name>_static from the modules' objects, with the
# shared libraries or static libraries they link, and the include directory
# of the tree (building) or of the installed headers.
function(krt_install_library name)
  cmake_parse_arguments(L "" "OUTPUT;EXPORT" "MODULES;SHARED_LIBS;STATIC_LIBS" ${ARGN})
  set(objects "")
  foreach(module IN LISTS L_MODULES)
    list(APPEND objects $<TARGET_OBJECTS:${module}>)
  endforeach()

  add_library(${name}_shared SHARED ${objects})
  add_library(${name}_static STATIC ${objects})
  set_target_properties(${name}_shared PROPERTIES
    OUTPUT_NAME ${L_OUTPUT} EXPORT_NAME ${L_EXPORT}
    VERSION ${KRT_ABI_VERSION}.0 SOVERSION ${KRT_ABI_VERSION}
    LINK_DEPENDS ${KRT_EXPORTS_MAP}
    # The GUI library finds libkrt beside itself wherever the prefix is.
    INSTALL_RPATH "$ORIGIN")
  set_target_properties(${name}_static PROPERTIES
    OUTPUT_NAME ${L_OUTPUT} EXPORT_NAME ${L_EXPORT}_static)
  # Every symbol a library needs is in it or in what it names here.
  target_link_options(${name}_shared PRIVATE
    -Wl,--version-script=${KRT_EXPORTS_MAP} -Wl,--no-undefined)
  target_link_libraries(${name}_shared PUBLIC ${L_SHARED_LIBS})
  target_link_libraries(${name}_static PUBLIC ${L_STATIC_LIBS})
  foreach(target ${name}_shared ${name}_static)
    target_include_directories(${target} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/runtime>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${KRT_INCLUDE_SUBDIR}>)
    # Objects of a module must be built before the library that gathers them.
    add_dependencies(${target} ${L_MODULES})
  endforeach()
  # In-tree users (examples/) name the targets as an installed package's
  # users do.
  add_library(Kestrel::${L_EXPORT} ALIAS ${name}_shared)
  add_library(Kestrel::${L_EXPORT}_static ALIAS ${name}_static)
endfunction()

find_package(Threads REQUIRED)
krt_install_library(krt_runtime OUTPUT krt EXPORT runtime
  MODULES ${KRT_RUNTIME_MODULES}
  SHARED_LIBS Threads::Threads
  STATIC_LIBS Threads::Threads)
set(KRT_INSTALL_TARGETS krt_runtime_shared krt_runtime_static)

if(TARGET krt_gui)
  krt_install_library(krt_runtime_gui OUTPUT krt_gui EXPORT gui
    MODULES krt_gui
    SHARED_LIBS krt_runtime_shared PkgConfig::GTK2
    STATIC_LIBS krt_runtime_static PkgConfig::GTK2)
  list(APPEND KRT_INSTALL_TARGETS krt_runtime_gui_shared krt_runtime_gui_static)
endif()

install(TARGETS ${KRT_INSTALL_TARGETS} EXPORT KestrelRuntimeTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Module headers, under include/kestrel/<module>/ so that users include
# "core/rtstring.h" as the runtime itself does. Internal headers stay behind.
set(KRT_HEADER_EXCLUDES PATTERN "*_internal.h" EXCLUDE)
if(NOT TARGET krt_gui)
  list(APPEND KRT_HEADER_EXCLUDES PATTERN "gui.h" EXCLUDE)
endif()
foreach(module core console containers events gui)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/runtime/${module}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${KRT_INCLUDE_SUBDIR}/${module}
    FILES_MATCHING PATTERN "*.h" ${KRT_HEADER_EXCLUDES})
endforeach()

# The programs and their manual pages.
foreach(program consoledemo argreport)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.1
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

# CMake package. The version file keeps the pointer-width check, so a 32-bit
# project never takes a 64-bit installation (and the reverse).
install(EXPORT KestrelRuntimeTargets NAMESPACE Kestrel::
  DESTINATION ${KRT_CMAKE_DIR})
if(TARGET krt_gui)
  set(KRT_PACKAGE_HAS_GUI TRUE)
else()
  set(KRT_PACKAGE_HAS_GUI FALSE)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrelRuntimeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestrelRuntimeConfig.cmake
  INSTALL_DESTINATION ${KRT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrelRuntimeConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrelRuntimeConfig.cmake
  ${PROJECT_BINARY_DIR}/KestrelRuntimeConfigVersion.cmake
  DESTINATION ${KRT_CMAKE_DIR})

# pkg-config files. The prefix is only known when installing (cmake --install
# --prefix may change it), so they are written then; the directories are
# ${prefix}-relative unless given absolute.
set(KRT_PC_FILES kestrel-runtime)
if(TARGET krt_gui)
  list(APPEND KRT_PC_FILES kestrel-runtime-gui)
endif()
foreach(pc IN LISTS KRT_PC_FILES)
  install(CODE "
    include(\"${PROJECT_SOURCE_DIR}/cmake/pkgconfig-paths.cmake\")
    krt_write_pc(\"${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in\"
                 \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\"
                 PREFIX \"\${CMAKE_INSTALL_PREFIX}\"
                 LIBDIR \"${CMAKE_INSTALL_LIBDIR}\"
                 INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\"
                 INCLUDE_SUBDIR \"${KRT_INCLUDE_SUBDIR}\"
                 VERSION \"${PROJECT_VERSION}\")
    krt_install_dir(krt_pc_destination \"\${CMAKE_INSTALL_PREFIX}\" \"${KRT_PKGCONFIG_DIR}\")
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\"
         DESTINATION \"\${krt_pc_destination}\")
    ")
endforeach()
