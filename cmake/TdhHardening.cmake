# SPDX-License-Identifier: MIT
# Hardening of the shipped helper: stack protector and stack-clash probes,
# control-flow protection, libstdc++ assertions, fortified libc calls,
# position-independent executable, immediate binding, read-only relocations
# and a non-executable stack. Include it before any target is defined: the
# options apply to every target of the directory (the module libraries, the
# helper, and the tests that run the same code).
#
# The sanitizer and fuzzing builds bring their own instrumentation, which
# these flags would disturb (_FORTIFY_SOURCE hides overflows from ASan's
# interceptors), so TDH_HARDEN defaults to OFF there.
set(tdh_harden_default ON)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize" OR TDH_BUILD_FUZZERS)
  set(tdh_harden_default OFF)
endif()
option(TDH_HARDEN "Build with the hardening flags of the shipped helper" ${tdh_harden_default})

if(TDH_HARDEN)
  include(CheckCXXCompilerFlag)
  set(tdh_harden_flags -fstack-protector-strong -fPIE -D_GLIBCXX_ASSERTIONS)
  # Architecture-dependent: not every target has stack-clash probes or CET.
  check_cxx_compiler_flag(-fstack-clash-protection TDH_HAVE_STACK_CLASH_PROTECTION)
  if(TDH_HAVE_STACK_CLASH_PROTECTION)
    list(APPEND tdh_harden_flags -fstack-clash-protection)
  endif()
  check_cxx_compiler_flag(-fcf-protection TDH_HAVE_CF_PROTECTION)
  if(TDH_HAVE_CF_PROTECTION)
    list(APPEND tdh_harden_flags -fcf-protection)
  endif()
  add_compile_options(${tdh_harden_flags})
  # _FORTIFY_SOURCE only works when the compiler optimises: the build types
  # that do get it (Debug builds keep the rest). Any level the toolchain
  # predefines is replaced.
  set(tdh_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  add_compile_options("$<${tdh_optimised}:-U_FORTIFY_SOURCE>" "$<${tdh_optimised}:-D_FORTIFY_SOURCE=3>")
  add_link_options(-pie LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
endif()
