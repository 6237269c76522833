# SPDX-License-Identifier: MIT

# Run by cpack on each package it made. A .deb is an ar archive whose member
# headers carry the modes of the files cpack wrote, and so the builder's
# umask; give every member the mode dpkg-deb gives it.
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
