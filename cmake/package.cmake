# What gets installed, and the Debian package that cpack -G DEB builds from
# it: the stripped tool, its manual page and changelog (from NEWS.md)
# compressed as Debian wants them, and the licence as a machine-readable
# copyright file. A Windows build makes a zip instead.
set(CPACK_PACKAGE_CONTACT "romweave maintainers <maintainers@users.noreply.c-seed-64805ae6.example>")
include(${CMAKE_CURRENT_LIST_DIR}/release_date.cmake)

# The source release, romweave-VERSION.tar.gz in the build directory, from a
# git checkout or from an unpacked release (source_tarball.cmake).
add_custom_target(source_tarball
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DRELEASE=romweave-${PROJECT_VERSION}
          -P ${CMAKE_CURRENT_LIST_DIR}/source_tarball.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
# cpack's own source package would take in whatever lies in the checkout.
set(CPACK_SOURCE_IGNORE_FILES "/[.]git/" "/build[^/]*/")
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/package_windows.cmake)
  return()
endif()

install(TARGETS romweave RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# gzip -n leaves out the name and the time stamp, so that two builds of one
# source give the same package.
function(romweave_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

set(manual_gz ${PROJECT_BINARY_DIR}/romweave.1.gz)
set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
romweave_gzip(${PROJECT_SOURCE_DIR}/doc/romweave.1 ${manual_gz})
romweave_gzip(${PROJECT_BINARY_DIR}/changelog ${changelog_gz})
add_custom_target(compressed_docs ALL DEPENDS ${manual_gz} ${changelog_gz})

# The permission text of LICENSE, in the copyright file's folded form.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" ignored "${licence}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission is hereby granted" permission_start)
string(SUBSTRING "${licence}" ${permission_start} -1 permission)
string(STRIP "${permission}" permission)
string(REPLACE "\n\n" "\n.\n" permission "${permission}")
string(REPLACE "\n" "\n " permission "${permission}")
file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: romweave

Files: *
Copyright: ${copyright_holders}
License: Expat
 ${permission}
")

# A distribution's own packaging compresses the manual and the changelog and
# writes the copyright file itself (Debian's dh_installman,
# dh_installchangelogs and debian/copyright, an RPM's %doc and %license):
# with this option the plain manual page and NEWS.md are installed, and no
# copyright file. The Debian package that cpack makes needs it off.
option(ROMWEAVE_INSTALL_PLAIN_DOCS
  "Install the plain manual page and NEWS.md, and no copyright file, for a distribution's packaging tools" OFF)
if(ROMWEAVE_INSTALL_PLAIN_DOCS)
  install(FILES ${PROJECT_SOURCE_DIR}/doc/romweave.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/NEWS.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${manual_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# cpack -G DEB in the build directory makes the Debian package.
set(CPACK_PACKAGE_NAME romweave)
set(CPACK_PACKAGE_VENDOR "romweave maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build ROM and EPROM images from byte-record files")
set(CPACK_PACKAGE_DESCRIPTION "romweave builds the binary image of a memory chip (a ROM or EPROM for a
microprocessor board) from text files of byte records, one address and
one data byte to a line.
It sizes the image and fills it with 0xFF, mixes in each input in order
(later records win), shifts addresses by an offset, can update an existing
image in place, and can permute or tie address and data lines for boards
wired in a non-standard order.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalise_deb.cmake)
# The static build (cmake/x86_64-linux-musl.cmake) runs on any distribution:
# its cpack makes a tar.gz of the same tree, to unpack into a prefix.
if(ROMWEAVE_STATIC_LINUX)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME romweave-${PROJECT_VERSION}-linux-x86_64)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalise_archive.cmake)
endif()
include(CPack)
