# Read by cpack before it makes each package.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MONITOR_SOURCE_DATE_EPOCH}")
endif()
# A cross build's .deb depends on the C library at the newest symbol
# version that any of its binaries asks for.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_MONITOR_LIBC_OF)
  set(newest 0)
  foreach(binary IN LISTS CPACK_MONITOR_LIBC_OF)
    execute_process(COMMAND "${CPACK_MONITOR_OBJDUMP}" -T "${binary}" OUTPUT_VARIABLE symbols
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+" versions "${symbols}")
    foreach(version IN LISTS versions)
      string(REPLACE "GLIBC_" "" version "${version}")
      if(version VERSION_GREATER newest)
        set(newest ${version})
      endif()
    endforeach()
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
# A source package is the tree as it is: the staging of the binary
# packages (manual pages, changelog, stripping) has nothing to act on there.
if(CPACK_INSTALLED_DIRECTORIES)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_PRE_BUILD_SCRIPTS "")
  set(CPACK_POST_BUILD_SCRIPTS "")
endif()
