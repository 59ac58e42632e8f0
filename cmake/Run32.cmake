# How this build's test programs run: the one place that decides it.
#
# 32-bit x86 programs run natively where the machine executes 32-bit code, which a tiny i386
# program run at configure time tells. Elsewhere they run under emulation: Linux i386 programs
# under qemu-i386 (user mode), 32-bit Windows programs under Wine inside the virtual machine of
# cmake/run32-vm (Wine's 32-bit helper processes need a kernel that runs them). 64-bit Windows
# programs run under wine64. QXMEMORY_RUN32 (-D or environment: native or emulated) overrides
# the probe.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR for the targets made after it, QXMEMORY_EMULATED (true when
# tests run under emulation), and writes two files into the build tree: run-mode, one line that
# scripts/test prints, and run-test, which runs a program of this build the way the tests do.


# Runs the probe; true in `result` when an i386 program ran natively. A binfmt_misc handler
# that hands i386 programs to qemu would make the probe pass while Wine then hangs, so it does
# not count as native.
function(qxmemory_probe_native32 result)
  set(dir ${CMAKE_BINARY_DIR}/run32-probe)
  file(WRITE ${dir}/probe.c
    "/* Exits with 42 through the i386 system call gate. */\n"
    "void _start(void) { __asm__ volatile(\"int $0x80\" : : \"a\"(1), \"b\"(42)); }\n")
  execute_process(
    COMMAND cc -m32 -nostdlib -static -ffreestanding -fno-pie -no-pie -o probe probe.c
    WORKING_DIRECTORY ${dir} RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(native FALSE)
  if(built EQUAL 0)
    execute_process(COMMAND ${dir}/probe RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 42)
      set(native TRUE)
      file(GLOB handlers /proc/sys/fs/binfmt_misc/*)
      foreach(handler ${handlers})
        file(READ ${handler} text LIMIT 4096)
        if(text MATCHES "^enabled" AND text MATCHES "interpreter [^\n]*qemu-i386")
          set(native FALSE)
        endif()
      endforeach()
    endif()
  endif()
  set(${result} ${native} PARENT_SCOPE)
endfunction()

set(QXMEMORY_EMULATED FALSE)
set(launcher "")
set(mode "native")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(run32 "${QXMEMORY_RUN32}")
  if(DEFINED ENV{QXMEMORY_RUN32})
    set(run32 "$ENV{QXMEMORY_RUN32}")
  endif()
  if(NOT run32 MATCHES "^(native|emulated)$")
    qxmemory_probe_native32(native32)
    if(native32)
      set(run32 native)
    else()
      set(run32 emulated)
    endif()
  endif()
  if(run32 STREQUAL "emulated")
    set(QXMEMORY_EMULATED TRUE)
  endif()
endif()

if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(launcher ${PROJECT_SOURCE_DIR}/cmake/wine-run --64)
  set(mode "native: wine64")
elseif(WIN32)
  if(QXMEMORY_EMULATED)
    set(launcher ${PROJECT_SOURCE_DIR}/cmake/run32-vm ${PROJECT_SOURCE_DIR}/cmake/wine-run)
    set(mode "emulated: 32-bit Wine in a virtual machine (qemu-system-x86_64, cmake/run32-vm)")
  else()
    set(launcher ${PROJECT_SOURCE_DIR}/cmake/wine-run)
    set(mode "native: 32-bit Wine")
  endif()
elseif(QXMEMORY_EMULATED)
  find_program(QXMEMORY_QEMU_I386 qemu-i386 REQUIRED)
  set(launcher ${QXMEMORY_QEMU_I386} -L /)
  set(mode "emulated: qemu-i386 (user mode)")
endif()

set(CMAKE_CROSSCOMPILING_EMULATOR ${launcher})
file(WRITE ${CMAKE_BINARY_DIR}/run-mode "${mode}\n")
list(JOIN launcher "\" \"" quoted)
if(quoted)
  set(quoted "\"${quoted}\" ")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/run-test
  "#!/bin/sh\n# Runs a program of this build as its tests run: ${mode}.\nexec ${quoted}\"$@\"\n")
file(CHMOD ${CMAKE_BINARY_DIR}/run-test
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
