# The hardening Debian gives its own packages: a position-independent
# executable, stack protection, fortified libc calls and read-only relocations
# bound at start. No -fcf-protection: Debian 12's C start files carry no CET
# note, so the linker could never mark the tool, and the flag would buy
# nothing. Fortify needs optimisation and does not mix with the sanitizers, so
# Debug, sanitizer and fuzz builds go without it.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

if(WIN32)
  return()
endif()

# The benchmark's floor reader is built as the tool is, so that bench/run
# compares readers and not flags.
set(hardened_targets romweave_core romweave)
set(hardened_executables romweave)
if(TARGET romweave_floor)
  list(APPEND hardened_targets romweave_floor)
  list(APPEND hardened_executables romweave_floor)
endif()

check_pie_supported()
set_target_properties(${hardened_targets} PROPERTIES POSITION_INDEPENDENT_CODE ON)

set(hardening -fstack-protector-strong)
check_cxx_compiler_flag(-fstack-clash-protection ROMWEAVE_HAS_STACK_CLASH_PROTECTION)
if(ROMWEAVE_HAS_STACK_CLASH_PROTECTION)
  list(APPEND hardening -fstack-clash-protection)
endif()

set(sanitized FALSE)
if(ROMWEAVE_FUZZ OR CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(sanitized TRUE)
endif()
# True, at build time, for the builds that get the whole hardening; the
# package test checks those with hardening-check.
set(ROMWEAVE_FULLY_HARDENED "$<AND:$<NOT:$<CONFIG:Debug>>,$<NOT:$<BOOL:${sanitized}>>>")

# A distribution that asks for a fortify level of its own (Debian from trixie
# on asks for 3) keeps it: the level is added only where the given flags set
# none. The -U drops a level that the compiler itself may predefine.
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
set(fortify)
if(NOT "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${build_type}}" MATCHES "_FORTIFY_SOURCE")
  set(fortify $<${ROMWEAVE_FULLY_HARDENED}:-U_FORTIFY_SOURCE> $<${ROMWEAVE_FULLY_HARDENED}:-D_FORTIFY_SOURCE=2>)
endif()
foreach(target ${hardened_targets})
  target_compile_options(${target} PRIVATE ${hardening} ${fortify})
endforeach()
# Only where the linker takes them: ELF linkers do, the Mach-O one does not.
check_linker_flag(CXX LINKER:-z,relro,-z,now ROMWEAVE_LINKER_HAS_RELRO_NOW)
if(ROMWEAVE_LINKER_HAS_RELRO_NOW)
  foreach(target ${hardened_executables})
    target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
  endforeach()
endif()
