# The release date that every package carries instead of the build time: the
# date of the newest CHANGELOG entry, which a source tarball without git has
# too. SOURCE_DATE_EPOCH, where set at packaging time, wins.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG trailer_lines REGEX "^ -- .*  ")
list(GET trailer_lines 0 newest_trailer)
string(REGEX REPLACE "^ -- .*>  " "" release_date "${newest_trailer}")
execute_process(COMMAND date -u -d "${release_date}" +%s
  OUTPUT_VARIABLE ROMWEAVE_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE date_failed)
if(date_failed OR NOT ROMWEAVE_RELEASE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "cannot read the date of the newest CHANGELOG entry: '${release_date}'")
endif()

# cpack reads this before it packs: the release date for SOURCE_DATE_EPOCH,
# and a normalised archive for the .deb afterwards.
file(WRITE ${PROJECT_BINARY_DIR}/CPackRelease.cmake "\
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${ROMWEAVE_RELEASE_EPOCH})
endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackRelease.cmake)

# Directories get Debian's modes whatever the builder's umask; files and the
# tool already do (install() gives 0644 and 0755).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
