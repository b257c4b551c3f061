# Install rules and the Debian package. Included from the top CMakeLists.txt after the targets.
#   cmake --install <build> [--prefix <dir>]   bin/seqcat, its manual page and bash completion,
#                                               share/doc/seqcat/{copyright,changelog.gz}
#   cd <build> && cpack                         seqcat_<version>_<arch>.deb
include(GNUInstallDirs)

set(SEQCAT_PACKAGE_MAINTAINER "seqcat developers <seqcat@example.org>" CACHE STRING
    "Maintainer named by the Debian package and its changelog, as: Name <address>")

# Debian keeps manual pages and changelogs gzip-compressed; -n leaves out name and time so the
# file is the same on every build.
find_program(SEQCAT_GZIP gzip REQUIRED)
function(seqcat_compress source compressed)
  get_filename_component(folder ${compressed} DIRECTORY)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${SEQCAT_GZIP} ${source} ${compressed}
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()

# The manual's footer takes its version from project(), so the version is written in one place.
set(SEQCAT_MANUAL ${PROJECT_BINARY_DIR}/man/seqcat.1)
configure_file(${PROJECT_SOURCE_DIR}/man/seqcat.1 ${SEQCAT_MANUAL} @ONLY)
set(SEQCAT_MANUAL_COMPRESSED ${SEQCAT_MANUAL}.gz)
seqcat_compress(${SEQCAT_MANUAL} ${SEQCAT_MANUAL_COMPRESSED})

# The changelog takes its version from project(); the date is now, or SOURCE_DATE_EPOCH
# for a reproducible build.
string(TIMESTAMP SEQCAT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(SEQCAT_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${SEQCAT_CHANGELOG} @ONLY)
seqcat_compress(${SEQCAT_CHANGELOG} ${SEQCAT_CHANGELOG}.gz)

# The machine-readable copyright file, made from LICENSE: its copyright line, then the rest
# of its text indented by one space, with " ." for an empty line.
set(SEQCAT_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SEQCAT_LICENSE})
file(READ ${SEQCAT_LICENSE} licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "${SEQCAT_LICENSE} has no line 'Copyright (c) ...' followed by the licence")
endif()
set(SEQCAT_COPYRIGHT ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " SEQCAT_LICENSE_TEXT " ${licence_text}")
set(SEQCAT_COPYRIGHT_FILE ${PROJECT_BINARY_DIR}/packaging/copyright)
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${SEQCAT_COPYRIGHT_FILE} @ONLY)

add_custom_target(seqcat_package_files ALL
  DEPENDS ${SEQCAT_MANUAL_COMPRESSED} ${SEQCAT_CHANGELOG}.gz)

install(TARGETS seqcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack, cmake --install --strip) also drops the compilers' notes in
# .comment, as Debian's own packages do.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:seqcat>\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment \"\${program}\"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"cannot remove .comment from \${program}\")
    endif()
  endif()")
install(FILES ${SEQCAT_MANUAL_COMPRESSED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/seqcat.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME seqcat)
install(FILES ${SEQCAT_COPYRIGHT_FILE} ${SEQCAT_CHANGELOG}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Only the package has a use for lintian's overrides.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME seqcat
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME seqcat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the seqcat developers")
set(CPACK_PACKAGE_CONTACT "${SEQCAT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# One package holding the default files and the package-only ones.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME} debian)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SEQCAT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime dependencies come from the libraries the binary really links (dpkg-shlibdeps),
# so the OpenCV packages named always match the OpenCV the program was built against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "seqcat loads a numbered sequence of still images (f000.jpg, f001.jpg, ...)\n"
  "in index order and writes them as the frames of one video file, showing\n"
  "each frame in a window and printing how long it took. Images, video and\n"
  "window come from OpenCV.")

# `make package_source`: the sources without build folders or history.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "__pycache__")

include(CPack)
