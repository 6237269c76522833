# SPDX-License-Identifier: MIT

# Run by cpack on the staging tree before it packs: directories get the modes
# a package wants, whatever the umask of whoever builds it.
file(GLOB_RECURSE dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(dir ${CPACK_TEMPORARY_DIRECTORY} ${dirs})
  if(IS_DIRECTORY "${dir}")
    file(CHMOD "${dir}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
