# Run by CPack after the packages are made. CPack's debug-symbols package
# lists its file in md5sums under the build machine's absolute staging path,
# and has no documentation directory; rebuild it with relative paths and
# with the usual link to the main package's documentation, which holds the
# copyright and changelog that cover it (it depends on that exact version).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.ddeb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)

  file(STRINGS "${tree}/DEBIAN/md5sums" sums)
  set(fixed "")
  foreach(line IN LISTS sums)
    string(REGEX REPLACE "^([0-9a-f]+  )/.*/(usr/lib/debug/.*)$" "\\1\\2" line "${line}")
    string(APPEND fixed "${line}\n")
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${fixed}")

  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${CPACK_PACKAGE_NAME}" "${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym" SYMBOLIC)
  # Debug files are data, not programs.
  file(GLOB_RECURSE debug_files "${tree}/usr/lib/debug/*.debug")
  foreach(debug_file IN LISTS debug_files)
    file(CHMOD "${debug_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()

  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
