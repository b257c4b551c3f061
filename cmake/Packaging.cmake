# Install rules and the Debian package. Included from the top CMakeLists.txt after the targets.
#   cmake --install <build> [--prefix <dir>]   bin/seqcat and share/man/man1/seqcat.1.gz
#   cd <build> && cpack                         seqcat_<version>_<arch>.deb
include(GNUInstallDirs)

# Debian keeps manual pages gzip-compressed; -n leaves out name and time so the file is
# the same on every build.
find_program(SEQCAT_GZIP gzip REQUIRED)
set(SEQCAT_MANUAL_SOURCE ${PROJECT_SOURCE_DIR}/man/seqcat.1)
set(SEQCAT_MANUAL_COMPRESSED ${PROJECT_BINARY_DIR}/man/seqcat.1.gz)
add_custom_command(
  OUTPUT ${SEQCAT_MANUAL_COMPRESSED}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
  COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${SEQCAT_GZIP} ${SEQCAT_MANUAL_SOURCE}
          ${SEQCAT_MANUAL_COMPRESSED}
  DEPENDS ${SEQCAT_MANUAL_SOURCE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(seqcat_manual ALL DEPENDS ${SEQCAT_MANUAL_COMPRESSED})

install(TARGETS seqcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${SEQCAT_MANUAL_COMPRESSED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME seqcat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "seqcat developers")
set(CPACK_PACKAGE_CONTACT "seqcat developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "seqcat developers")
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
