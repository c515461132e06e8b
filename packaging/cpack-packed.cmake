# Run by cpack once it has made a package, before it copies it out of its
# working directory. cpack gives each ar member of a .deb (debian-binary,
# control.tar.gz, data.tar.gz) the mode its file got from the umask; this
# writes 0644 into each member's header instead, as dpkg-deb does.
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(READ "${deb}" magic LIMIT 8)
  if(NOT magic STREQUAL "!<arch>\n")
    message(FATAL_ERROR "${deb}: not an ar archive")
  endif()
  file(SIZE "${deb}" size)
  set(at 8)
  while(at LESS size)
    # A header: name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n".
    file(READ "${deb}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 member_size)
    string(STRIP "${member_size}" member_size)
    string(SUBSTRING "${header}" 58 2 header_end)
    if(NOT header_end STREQUAL "`\n" OR NOT member_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${at}")
    endif()
    math(EXPR mode_at "${at} + 40")
    execute_process(COMMAND dd "of=${deb}" bs=1 seek=${mode_at} conv=notrunc status=none
      INPUT_FILE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" COMMAND_ERROR_IS_FATAL ANY)
    # Members start on even offsets.
    math(EXPR at "${at} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
