# Source-based coverage of the supervisor and its companion, for checks/coverage: clang's
# counters kept in a mapped file (continuous mode), so that a process ended
# by SIGKILL, as every supervisor is, or by _exit, as a forked copy is,
# still leaves its counts. Processes of one binary share one file when
# LLVM_PROFILE_FILE holds %m, and a forked copy shares its parent's
# counters. The probe and the interposer stay plain: they stand for a real
# target and a real C library.
option(MONITOR_COVERAGE "Count the supervisor's lines and branches (clang only)" OFF)
if(MONITOR_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "MONITOR_COVERAGE needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  # The sources are named from the top of the tree (-ffile-prefix-map), so
  # the report is read from there.
  set(coverage_flags -fprofile-instr-generate -fcoverage-mapping -fcoverage-compilation-dir=.
                     "SHELL:-mllvm -runtime-counter-relocation")
  foreach(target monitor_core monitor monitor_exec_core monitor-exec)
    target_compile_options(${target} PRIVATE ${coverage_flags})
  endforeach()
  # Whatever links the routines needs the profile run-time.
  target_link_options(monitor_core INTERFACE -fprofile-instr-generate)
  target_link_options(monitor_exec_core INTERFACE -fprofile-instr-generate)
  target_link_options(monitor PRIVATE -fprofile-instr-generate)
  target_link_options(monitor-exec PRIVATE -fprofile-instr-generate)
endif()
