# 32-bit (i386) build on an x86-64 Debian host with g++-multilib and the i386
# development packages. When the kernel cannot execute i386 binaries, tests and
# programs run through qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The i386 loader answers --version when the kernel can run it natively.
set(_krt_loader /lib/ld-linux.so.2)
execute_process(COMMAND ${_krt_loader} --version
                RESULT_VARIABLE _krt_native OUTPUT_QUIET ERROR_QUIET)
if(NOT _krt_native EQUAL 0)
  find_program(KRT_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRT_QEMU_I386})
endif()
