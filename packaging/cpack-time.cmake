# Read by cpack before it makes a package. cpack gives every file, both
# archives and their ar members the time SOURCE_DATE_EPOCH when it is set,
# and the time of the build otherwise. Unset, it becomes the date of the
# latest changelog entry, as dpkg-buildpackage makes it: never the time of
# a commit, so that a tarball, a machine without git and a clone all make
# the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  file(STRINGS "${CPACK_TCPCONSOLE_SOURCE_DIR}/packaging/changelog" trailers REGEX "^ -- .*>  ")
  string(REGEX REPLACE ";.*" "" trailer "${trailers}")
  string(REGEX REPLACE "^.*>  " "" date "${trailer}")
  execute_process(COMMAND date -d "${date}" +%s
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(date STREQUAL "" OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date in the latest entry of packaging/changelog: '${trailer}'")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
