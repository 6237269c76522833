# SPDX-License-Identifier: MIT

# Included for a static build. The program then holds the C library and the
# compiler's runtime libraries, so the release archive carries the C
# library's licence and a notice of what is linked in and where its source
# is: Debian's source packages of the versions this toolchain links.

set(QUORVEL_LGPL /usr/share/common-licenses/LGPL-2.1)
if(NOT EXISTS ${QUORVEL_LGPL})
  message(FATAL_ERROR "a static build ships the C library's licence, and the text of the "
          "LGPL 2.1 is not in /usr/share/common-licenses (Debian's base-files has it)")
endif()

# Names the Debian source package and version of the library file name as
# this compiler links it, in out.
function(origin name out)
  set(${out} "the ${name} of the toolchain used (not from a Debian package)" PARENT_SCOPE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(path "${path}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT owner MATCHES "^([^:, ]+)")
    return()
  endif()
  set(package ${CMAKE_MATCH_1})
  execute_process(COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" ${package}
                  OUTPUT_VARIABLE source RESULT_VARIABLE failed)
  if(NOT failed AND source MATCHES "^([^ ]+) (.+)$")
    set(${out} "Debian's source package ${CMAKE_MATCH_1}, version ${CMAKE_MATCH_2} (through ${package})"
        PARENT_SCOPE)
  endif()
endfunction()
origin(libc.a glibc)
origin(libstdc++.a gcc)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/NOTICE
"quorvel is free software under the MIT licence (LICENSE beside this file).
This program, bin/quorvel, is linked statically, and so also holds code of:

- the GNU C Library (glibc), under the GNU Lesser General Public License,
  version 2.1 or later; its text is LGPL-2.1 beside this file. Built from
  ${glibc}.

- the GCC runtime libraries (libstdc++ and libgcc), under the GNU General
  Public License, version 3, with the GCC Runtime Library Exception,
  version 3.1, which sets no conditions on programs compiled by GCC. Built
  from ${gcc}.

Their complete source is in those source packages: on Debian,
apt-get source PACKAGE=VERSION, or Debian's snapshot archive for versions no
longer current. quorvel's own source is free, so the program can be built
again and linked with a changed C library, as the LGPL provides: see
\"Static release archives\" in REFERENCE.md.
")
install(FILES ${QUORVEL_LGPL} ${CMAKE_CURRENT_BINARY_DIR}/NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR})
