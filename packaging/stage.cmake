# Run by CPack after the install step, before the package is made: adds the
# files that a package needs and a plain install does not, at the absolute
# paths where the distribution's tools look for them.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(doc "${stage}/usr/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
if(CPACK_GENERATOR STREQUAL "DEB")
  file(COPY_FILE "${CPACK_MONITOR_METADATA}/copyright" "${doc}/copyright")
  # -n keeps the name and time of the source out of the archive.
  execute_process(COMMAND gzip -9n -c "${CPACK_MONITOR_SOURCE}/packaging/changelog"
                  OUTPUT_FILE "${doc}/changelog.gz" COMMAND_ERROR_IS_FATAL ANY)
  file(MAKE_DIRECTORY "${stage}/usr/share/lintian/overrides")
  file(COPY_FILE "${CPACK_MONITOR_SOURCE}/packaging/lintian-overrides"
       "${stage}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
endif()
