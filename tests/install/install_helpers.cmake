# Shared by the install tests: where the installation's pieces are, and a
# checked command runner.

# krt_run(<what> COMMAND ...): runs the command, fails the test when it fails,
# leaves its output in krt_run_output.
macro(krt_run what)
  execute_process(${ARGN} OUTPUT_VARIABLE krt_run_output ERROR_VARIABLE krt_run_errors
                  RESULT_VARIABLE krt_run_status)
  if(NOT krt_run_status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${krt_run_status}):\n${krt_run_output}\n${krt_run_errors}")
  endif()
endmacro()

# The installation's library directory: where libkrt.so.1 lies.
function(krt_find_libdir out)
  file(GLOB_RECURSE found LIST_DIRECTORIES false "${PREFIX}/libkrt.so.1")
  list(LENGTH found n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one libkrt.so.1 under ${PREFIX}, found: ${found}")
  endif()
  get_filename_component(dir "${found}" DIRECTORY)
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# krt_expect_output(<program> <wanted> [arguments...]): runs the program
# (through the emulator) and compares its whole output.
function(krt_expect_output program wanted)
  krt_run("${program}" COMMAND ${EMULATOR} ${program} ${ARGN} TIMEOUT 120)
  if(NOT krt_run_output STREQUAL wanted)
    message(FATAL_ERROR "${program} printed\n${krt_run_output}\nwanted\n${wanted}")
  endif()
endfunction()

# What the consumers print (consumer/consumer.c, consumer/consumer_gui.c).
math(EXPR BITS "${POINTER_BYTES} * 8")
set(KRT_CONSUMER_OUTPUT "text=Grüße 5 units\nmap=3\nevent=7:1\nbits=${BITS}\n")
set(KRT_CONSUMER_GUI_OUTPUT "glib=Grüße latin9=5 bytes\n")

# krt_expect_needed(<program> <library regex> <yes|no>): whether the program
# names the library among its dynamic dependencies.
function(krt_expect_needed program library wanted)
  krt_run(readelf COMMAND ${READELF} -d ${program})
  if(krt_run_output MATCHES "\\(NEEDED\\)[^\n]*\\[${library}\\]")
    set(needed yes)
  else()
    set(needed no)
  endif()
  if(NOT needed STREQUAL wanted)
    message(FATAL_ERROR "${program}: needs ${library}: ${needed}, wanted ${wanted}\n${krt_run_output}")
  endif()
endfunction()
