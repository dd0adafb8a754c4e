# Run by CPack after the install step, before the package is made: adds the
# files that a package needs and a plain install does not, at the absolute
# paths where the distribution's tools look for them.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
# The copyright and the changelog, in the same place in both packages.
set(doc "${stage}/usr/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_MONITOR_METADATA}/copyright" "${doc}/copyright")
# -n keeps the name and time of the source out of the archive.
execute_process(COMMAND gzip -9n -c "${CPACK_MONITOR_SOURCE}/packaging/changelog"
                OUTPUT_FILE "${doc}/changelog.gz" COMMAND_ERROR_IS_FATAL ANY)
# The manual pages, where man finds them on any system whatever PATH holds
# (the install step puts them under the product's directory, off man's
# path), compressed as Debian's policy asks, and the directories that held
# only them.
set(man8 "${stage}/usr/share/man/man8")
file(MAKE_DIRECTORY "${man8}")
set(product "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}")
foreach(installed_page IN LISTS CPACK_MONITOR_MANUAL_PAGES)
  set(page "${stage}${installed_page}")
  get_filename_component(name "${page}" NAME)
  execute_process(COMMAND gzip -9n -c "${page}" OUTPUT_FILE "${man8}/${name}.gz" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${page}")
  get_filename_component(dir "${page}" DIRECTORY)
  string(FIND "${dir}" "${product}/" under)
  while(under EQUAL 0)
    file(GLOB left "${dir}/*")
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
    string(FIND "${dir}" "${product}/" under)
  endwhile()
endforeach()
# The operator's guide's systemd unit and wrappers, as made from the guide.
file(COPY "${CPACK_MONITOR_EXAMPLES}/" DESTINATION "${doc}/examples")
if(CPACK_GENERATOR STREQUAL "DEB")
  file(MAKE_DIRECTORY "${stage}/usr/share/lintian/overrides")
  file(COPY_FILE "${CPACK_MONITOR_SOURCE}/packaging/lintian-overrides"
       "${stage}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
endif()
if(CPACK_GENERATOR STREQUAL "RPM")
  # The binaries are stripped here, with the target's strip, since
  # rpmbuild's own post-install steps are turned off: they would rewrite the
  # files in ways that depend on the build machine.
  foreach(program IN LISTS CPACK_MONITOR_PROGRAMS)
    execute_process(COMMAND "${CPACK_MONITOR_STRIP}" --strip-unneeded --remove-section=.comment
                            "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/${program}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
# Modes that do not depend on the umask of whoever builds.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${stage}/usr/*")
foreach(path IN LISTS staged)
  if(IS_DIRECTORY "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                     WORLD_READ WORLD_EXECUTE)
  elseif(NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
