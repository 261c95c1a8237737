# The release date that every package carries instead of the build time: the
# date of the newest CHANGELOG entry, which a source tarball without git has
# too. SOURCE_DATE_EPOCH, where set at packaging time, wins.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG trailer_lines REGEX "^ -- .*  ")
list(GET trailer_lines 0 newest_trailer)
string(REGEX REPLACE "^ -- .*>  " "" release_date "${newest_trailer}")

# Read here rather than by date(1): only GNU date reads such a date, and the
# build must configure wherever CMake runs. The form is Debian's changelog
# date, "Tue, 08 Dec 2026 12:00:00 +0000".
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
string(REGEX MATCH "^[A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([-+])([0-9][0-9])([0-9][0-9])$"
  date_parts "${release_date}")
set(day ${CMAKE_MATCH_1})
list(FIND months "${CMAKE_MATCH_2}" month)
if(NOT date_parts OR month LESS 0)
  message(FATAL_ERROR "cannot read the date of the newest CHANGELOG entry: '${release_date}'")
endif()
# Days since 1970-01-01 in the proleptic Gregorian calendar, counting years
# from March so that a leap day comes last.
math(EXPR year "${CMAKE_MATCH_3} - (11 - ${month}) / 10")  # the year before, in January and February
math(EXPR month_from_march "(${month} + 10) % 12")
math(EXPR day_of_year "(153 * ${month_from_march} + 2) / 5 + ${day} - 1")
math(EXPR days "365 * ${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${day_of_year} - 719468")
math(EXPR ROMWEAVE_RELEASE_EPOCH "${days} * 86400 + ${CMAKE_MATCH_4} * 3600 + ${CMAKE_MATCH_5} * 60 + ${CMAKE_MATCH_6}
  - (${CMAKE_MATCH_7}1) * (${CMAKE_MATCH_8} * 3600 + ${CMAKE_MATCH_9} * 60)")

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
