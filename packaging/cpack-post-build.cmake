# SPDX-License-Identifier: MIT

# Run by cpack on each package it made.
#
# A release archive holds the owner of the files cpack packed, the builder:
# unpacked by root, it would hand the folders it lands in to that user. Pack
# it again with every entry root's, by number, in name order, dated as the
# package is, and without gzip's time stamp, so that the same files give the
# same bytes.
foreach(tgz ${CPACK_PACKAGE_FILES})
  if(NOT tgz MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  set(tree "${tgz}.tree")
  file(REMOVE_RECURSE "${tree}")
  file(MAKE_DIRECTORY "${tree}")
  execute_process(COMMAND tar -xpzf "${tgz}" -C "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB top RELATIVE "${tree}" "${tree}/*")
  set(stamp)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(stamp --mtime=@$ENV{SOURCE_DATE_EPOCH})
  endif()
  execute_process(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --format=gnu
                          ${stamp} -cf - -C "${tree}" ${top}
                  COMMAND gzip -9n OUTPUT_FILE "${tgz}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()

# A .deb is an ar archive whose member headers carry the modes of the files
# cpack wrote, and so the builder's umask; give every member the mode
# dpkg-deb gives it.
foreach(deb ${CPACK_PACKAGE_FILES})
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${deb}" size)
  set(at 8) # past the "!<arch>\n" magic
  while(at LESS size)
    # A header is 60 bytes: name 16, date 12, owner 6, group 6, mode 8, size 10, magic 2.
    file(READ "${deb}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 length)
    string(STRIP "${length}" length)
    math(EXPR modeat "${at} + 40")
    execute_process(COMMAND printf "%-8s" 100644
                    COMMAND dd "of=${deb}" bs=1 seek=${modeat} conv=notrunc status=none
                    COMMAND_ERROR_IS_FATAL ANY)
    # Members are padded to an even length.
    math(EXPR at "${at} + 60 + ${length} + ${length} % 2")
  endwhile()
endforeach()
