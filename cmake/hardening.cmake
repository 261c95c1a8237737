# The hardening Debian 13 gives its own packages: a position-independent
# executable, stack protection, fortified libc calls, read-only relocations
# bound at start, and branch protection where the target has it. Fortify
# needs optimisation and does not mix with the sanitizers, so Debug,
# sanitizer and fuzz builds go without it.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

if(WIN32)
  return()
endif()

# The benchmark's floor reader is built as the tool is, so that bench/run
# compares readers and not flags.
set(hardened_targets romweave_logic romweave_core romweave)
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
# Branch protection: on x86 every indirect-branch target starts with endbr64
# for CET, on arm64 return addresses are signed (PAC) and branch targets
# marked (BTI). Each compiler refuses the other target's flag, and 32-bit Arm
# has neither. Whether the linker then marks the program in its notes depends
# on the C library's start files; Debian 12's and 13's x86 ones carry no mark.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
  set(branch_protection -fcf-protection)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(branch_protection -mbranch-protection=standard)
endif()
if(branch_protection)
  check_cxx_compiler_flag(${branch_protection} ROMWEAVE_HAS_BRANCH_PROTECTION)
  if(ROMWEAVE_HAS_BRANCH_PROTECTION)
    list(APPEND hardening ${branch_protection})
  endif()
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
