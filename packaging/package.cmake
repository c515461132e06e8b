# Included by CMakeLists.txt: what `cmake --install` and cpack put beside
# the program, and the Debian package made of it (cpack -G DEB, or
# cpack --preset NAME).

# The latest changelog entry and the manual page's header name the version
# being built; an edit of either checks it again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/changelog man/tcpconsole.1)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog tcpconsole_changelog_head LIMIT_COUNT 1)
string(REGEX REPLACE "^tcpconsole \\(([^)]*)\\).*" "\\1" tcpconsole_changelog_version
  "${tcpconsole_changelog_head}")
file(STRINGS man/tcpconsole.1 tcpconsole_man_header REGEX "^\\.TH " LIMIT_COUNT 1)
string(FIND "${tcpconsole_man_header}" "\"tcpconsole ${PROJECT_VERSION}\"" tcpconsole_man_version_at)
if(NOT tcpconsole_changelog_version STREQUAL PROJECT_VERSION OR tcpconsole_man_version_at LESS 0)
  message(FATAL_ERROR "The latest entry of packaging/changelog and the .TH line of "
    "man/tcpconsole.1 must both name tcpconsole ${PROJECT_VERSION}, the version in CMakeLists.txt")
endif()

# Installs FILE gzipped as DIR/NAME.gz, as the install component COMPONENT.
# -n leaves out the name and time, so that the result depends on the
# contents alone. Compressed at install time, so that it needs no build
# step of its own.
function(tcpconsole_install_gzipped file dir component)
  get_filename_component(name ${file} NAME)
  set(gz ${CMAKE_BINARY_DIR}/gzipped/${name}.gz)
  install(CODE "
    file(MAKE_DIRECTORY \"${CMAKE_BINARY_DIR}/gzipped\")
    execute_process(COMMAND gzip -n -9 -c \"${CMAKE_SOURCE_DIR}/${file}\"
      OUTPUT_FILE \"${gz}\" COMMAND_ERROR_IS_FATAL ANY)" COMPONENT ${component})
  install(FILES ${gz} DESTINATION ${dir} COMPONENT ${component})
endfunction()

# Installs the program, its manual page, copyright and changelog (and the
# board package's lintian override) as the install component COMPONENT. A
# stripped program (--strip, and always in the packages) loses the
# compiler's .comment and .note as well, as Debian's dh_strip does.
function(tcpconsole_install component)
  install(TARGETS tcpconsole RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tcpconsole\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
  tcpconsole_install_gzipped(man/tcpconsole.1 ${CMAKE_INSTALL_MANDIR}/man1 ${component})
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT ${component})
  tcpconsole_install_gzipped(packaging/changelog ${CMAKE_INSTALL_DOCDIR} ${component})
  if(TCPCONSOLE_STATIC)
    install(FILES packaging/board.lintian-overrides COMPONENT ${component}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tcpconsole)
  endif()
endfunction()

# Sets OUT to the Built-Using value of a static program: the source
# packages of what it links in, at the versions installed. The C library and
# the C++ runtime come from glibc and gcc-N; Debian's cross libraries are
# built from cross-toolchain-base and gcc-N-cross, which carry copies of
# those sources and name them in their own Built-Using, so both are named:
# "glibc (= X), gcc-N (= Y)", then "cross-toolchain-base (= Z), gcc-N-cross
# (= W)" for cross libraries. Empty, with a warning, where dpkg cannot tell.
function(tcpconsole_built_using out)
  set(libraries libc.a libstdc++.a)
  set(names glibc "gcc-[0-9]+")
  set(sources "")
  set(cross_sources "")
  foreach(library name IN ZIP_LISTS libraries names)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    file(REAL_PATH "${path}" path)
    execute_process(COMMAND dpkg-query -S "${path}"
      OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REGEX REPLACE ": .*" "" owner "${owner}") # "package[:arch]: path"
    set(fields "")
    if(owner)
      execute_process(COMMAND dpkg-query -W "-f=\${source:Package} (= \${source:Version}), \${Built-Using}" ${owner}
        OUTPUT_VARIABLE fields ERROR_QUIET)
    endif()
    if(NOT fields MATCHES "(^|, )(${name} \\(= [^)]+\\))")
      message(WARNING "No Debian source package of ${library} (${path}) found: "
        "the package will not say in Built-Using what it links in")
      return()
    endif()
    list(APPEND sources "${CMAKE_MATCH_2}")
    # The library's own source package, when it is not that source itself.
    string(REGEX MATCH "^[^ ]+ \\(= [^)]+\\)" own "${fields}")
    if(NOT own STREQUAL CMAKE_MATCH_2)
      list(APPEND cross_sources "${own}")
    endif()
  endforeach()
  list(APPEND sources ${cross_sources})
  list(JOIN sources ", " sources)
  set(${out} "${sources}" PARENT_SCOPE)
endfunction()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tcpconsole)
set(CPACK_PACKAGE_CONTACT "tcpconsole developers <tcpconsole-dev@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive console client for any TCP server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tcpconsole connects to a TCP server given by address and port, shows on\n"
  "standard error everything the server sends, chunk by chunk as it\n"
  "arrives, and sends each message typed at its menu as the raw bytes\n"
  "typed, with no line ending added: a tool for trying out a server by\n"
  "hand. For line protocols driven by a script, nc or socat serve better.")
if(TCPCONSOLE_PACKAGE_NOTE)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\n${TCPCONSOLE_PACKAGE_NOTE}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
if(TCPCONSOLE_STATIC)
  # One static program for every 32-bit ARM system: a package of it for
  # each Debian architecture in TCPCONSOLE_PACKAGE_ARCHITECTURES (set by the
  # toolchain file), the same files in each. Each is a component of its own,
  # named after its architecture, and the package tcpconsole.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL ${TCPCONSOLE_PACKAGE_ARCHITECTURES})
  foreach(arch IN LISTS TCPCONSOLE_PACKAGE_ARCHITECTURES)
    tcpconsole_install(${arch})
    string(TOUPPER ${arch} component)
    set(CPACK_DEBIAN_${component}_PACKAGE_NAME tcpconsole)
    set(CPACK_DEBIAN_${component}_PACKAGE_ARCHITECTURE ${arch})
    set(CPACK_DEBIAN_${component}_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_${component}_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  endforeach()
  # A static program needs no library. Its version says what it is, so that
  # it never shares a file name with a native build made on a board, and
  # either replaces the other as the same package.
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION}+static)
  tcpconsole_built_using(tcpconsole_built_using)
  if(tcpconsole_built_using)
    # CPack has no variable for Built-Using; it writes each control field
    # as "Name: value", so the field rides on the line of Section.
    string(APPEND CPACK_DEBIAN_PACKAGE_SECTION "\nBuilt-Using: ${tcpconsole_built_using}")
  endif()
else()
  tcpconsole_install(tcpconsole)
  # dpkg-shlibdeps lists the libraries the program needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# Run by cpack itself: one sets SOURCE_DATE_EPOCH when it is unset, the
# others give the staged directories and the ar members their modes.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-time.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-staged.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-packed.cmake)
set(CPACK_TCPCONSOLE_SOURCE_DIR ${CMAKE_SOURCE_DIR})
include(CPack)
