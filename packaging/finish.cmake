# Run by CPack after the packages are made, to mend in them what CPack has
# no setting for.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# CPack's data archive lists every parent directory of the package's files,
# /opt among them. dpkg removes a directory that a package listed once no
# installed package lists it and it is empty, and no package of a Debian
# system lists /opt: removing monitor would remove the system's /opt along
# with /opt/marrowfield. The data archive is made again without that one
# entry, every other byte of it as CPack wrote it, and the package around
# it; the preinst makes /opt where there is none.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  # The members of an ar archive, after its 8-byte magic, each behind a
  # 60-byte text header: name (16 bytes), time (12), owner (6), group (6),
  # mode (8), size (10), "`\n"; a member of odd size is followed by "\n".
  file(SIZE "${package}" end)
  set(offset 8)
  set(names "")
  while(offset LESS end)
    file(READ "${package}" header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 0 16 name)
    string(STRIP "${name}" name)
    string(SUBSTRING "${header}" 48 10 size)
    string(STRIP "${size}" size)
    list(APPEND names "${name}")
    if(name MATCHES "^data\\.tar")
      set(data_offset ${offset})
      set(data_header "${header}")
      set(data_size ${size})
    endif()
    math(EXPR offset "${offset} + 60 + ${size} + ${size} % 2")
  endwhile()
  if(NOT names MATCHES "^debian-binary;control\\.tar\\.gz;data\\.tar\\.gz$")
    message(FATAL_ERROR "${package}: members ${names}, not debian-binary, control.tar.gz, data.tar.gz")
  endif()

  set(work "${CPACK_TOPLEVEL_DIRECTORY}/deb-remake")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}")
  math(EXPR data_start "${data_offset} + 60")
  execute_process(COMMAND dd "if=${package}" iflag=skip_bytes,count_bytes skip=${data_start} count=${data_size}
                          bs=64K status=none
                  COMMAND gzip -dc OUTPUT_FILE "${work}/cpack.tar" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -tf "${work}/cpack.tar" OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
  string(FIND "\n${entries}" "\n./opt/\n" listed)
  if(listed EQUAL -1)
    # Installed elsewhere than under /opt: nothing to mend.
    file(REMOVE_RECURSE "${work}")
    continue()
  endif()
  # In blocks of 512 bytes, the unit CPack's archive is written in: with
  # tar's default records of 10 KiB, which it does not fill, tar deletes
  # more than asked.
  execute_process(COMMAND tar --blocking-factor=1 --delete --no-recursion -f - ./opt/ INPUT_FILE "${work}/cpack.tar"
                  OUTPUT_FILE "${work}/data.tar" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -tf "${work}/data.tar" OUTPUT_VARIABLE left COMMAND_ERROR_IS_FATAL ANY)
  string(SUBSTRING "${entries}" 0 ${listed} expected)
  math(EXPR rest "${listed} + 7")
  string(SUBSTRING "${entries}" ${rest} -1 rest)
  string(APPEND expected "${rest}")
  # The entry is one header block of 512 bytes.
  file(SIZE "${work}/cpack.tar" cpack_size)
  file(SIZE "${work}/data.tar" data_size)
  math(EXPR taken "${cpack_size} - ${data_size}")
  if(NOT left STREQUAL expected OR NOT taken EQUAL 512)
    message(FATAL_ERROR "${package}: taking ./opt/ out of the data archive took ${taken} bytes, and left:\n${left}")
  endif()
  # -n keeps gzip's own name and time out of the archive.
  execute_process(COMMAND gzip -9n -c "${work}/data.tar" OUTPUT_FILE "${work}/data.tar.gz" COMMAND_ERROR_IS_FATAL ANY)

  # The first members as they were, then the data member's header with its
  # new size, the member, and the padding.
  execute_process(COMMAND head -c ${data_offset} "${package}" OUTPUT_FILE "${work}/before"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(SIZE "${work}/data.tar.gz" size)
  string(LENGTH "${size}" digits)
  math(EXPR blanks "10 - ${digits}")
  string(REPEAT " " ${blanks} pad)
  string(SUBSTRING "${data_header}" 0 48 fields)
  file(WRITE "${work}/header" "${fields}${size}${pad}`\n")
  set(pieces "${work}/before" "${work}/header" "${work}/data.tar.gz")
  math(EXPR odd "${size} % 2")
  if(odd)
    file(WRITE "${work}/padding" "\n")
    list(APPEND pieces "${work}/padding")
  endif()
  execute_process(COMMAND cat ${pieces} OUTPUT_FILE "${work}/package.deb" COMMAND_ERROR_IS_FATAL ANY)
  file(RENAME "${work}/package.deb" "${package}")
  file(REMOVE_RECURSE "${work}")
endforeach()

# CPack's debug-symbols package lists its file in md5sums under the build
# machine's absolute staging path, and has no documentation directory;
# rebuild it with relative paths and with the usual link to the main
# package's documentation, which holds the copyright and changelog that
# cover it (it depends on that exact version).
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
