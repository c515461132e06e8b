# Read by cpack before it makes a package. cpack gives every file, both
# archives and their ar members the time SOURCE_DATE_EPOCH when it is set,
# and the time of the build otherwise. Unset, it becomes the time of the
# last commit, or out of git, that of the latest changelog entry: so two
# builds of one commit make the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_TCPCONSOLE_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    file(STRINGS "${CPACK_TCPCONSOLE_SOURCE_DIR}/packaging/changelog" trailer
      REGEX "^ -- .*>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^.*>  " "" date "${trailer}")
    execute_process(COMMAND date -d "${date}" +%s
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()
