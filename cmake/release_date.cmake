# The release date that every package carries instead of the build time: the
# date of the newest NEWS.md entry, "## 1.1.0 (2026-12-10)", at noon UTC, so
# that it is the same day in nearly every time zone. A source tarball without
# git has it too. SOURCE_DATE_EPOCH, where set at packaging time, wins.
# Configure fails where that entry does not name the project's version, so
# that a version bump without its news cannot be packaged. Every entry also
# becomes one of the Debian changelog that the package carries,
# ${PROJECT_BINARY_DIR}/changelog.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/NEWS.md)
file(READ ${PROJECT_SOURCE_DIR}/NEWS.md news)
string(REPLACE "\r" "" news "\n${news}")

# Days since 1970-01-01 in the proleptic Gregorian calendar, counting years
# from March so that a leap day comes last; worked out here rather than by
# date(1), as only GNU date reads dates, and the build must configure
# wherever CMake runs.
function(romweave_noon_utc year month day epoch_variable debian_date_variable)
  math(EXPR month "${month}")  # without a leading zero
  math(EXPR day "${day}")
  math(EXPR march_year "${year} - (12 - ${month}) / 10")  # the year before, in January and February
  math(EXPR month_from_march "(${month} + 9) % 12")
  math(EXPR day_of_year "(153 * ${month_from_march} + 2) / 5 + ${day} - 1")
  math(EXPR days "365 * ${march_year} + ${march_year} / 4 - ${march_year} / 100 + ${march_year} / 400 + ${day_of_year} - 719468")
  math(EXPR epoch "${days} * 86400 + 12 * 3600")
  # Debian's changelog date, "Thu, 10 Dec 2026 12:00:00 +0000"; 1970-01-01
  # was a Thursday.
  set(weekdays Thu Fri Sat Sun Mon Tue Wed)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  math(EXPR weekday "${days} % 7")
  math(EXPR month_index "${month} - 1")
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${month_index} month_name)
  if(day LESS 10)
    set(day 0${day})
  endif()
  set(${epoch_variable} ${epoch} PARENT_SCOPE)
  set(${debian_date_variable} "${weekday_name}, ${day} ${month_name} ${year} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

# Each entry: its heading, then items "- ..." whose further lines are indented
# by two spaces, which become the Debian changelog's "  * ..." and "    ...".
set(heading_pattern "\n## ([0-9]+[.][0-9]+[.][0-9]+) [(]([0-9][0-9][0-9][0-9])-([01][0-9])-([0-3][0-9])[)] *\n")
set(debian_changelog "")
set(ROMWEAVE_RELEASE_EPOCH "")
while(news MATCHES "${heading_pattern}")
  set(version ${CMAKE_MATCH_1})
  romweave_noon_utc(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} epoch debian_date)
  string(FIND "${news}" "${CMAKE_MATCH_0}" start)
  string(LENGTH "${CMAKE_MATCH_0}" heading_length)
  math(EXPR start "${start} + ${heading_length} - 1")
  string(SUBSTRING "${news}" ${start} -1 news)
  string(FIND "${news}" "\n## " end)
  string(SUBSTRING "${news}" 0 ${end} items)
  if(NOT ROMWEAVE_RELEASE_EPOCH)
    if(NOT version STREQUAL PROJECT_VERSION)
      message(FATAL_ERROR "NEWS.md's newest entry is ${version}, but the project's version is ${PROJECT_VERSION}: "
                          "add the entry for ${PROJECT_VERSION} with its date")
    endif()
    set(ROMWEAVE_RELEASE_EPOCH ${epoch})
    set(ROMWEAVE_RELEASE_DATE ${debian_date})
  endif()
  string(STRIP "${items}" items)
  string(REGEX REPLACE "\n  " "\n    " items "\n${items}")
  string(REGEX REPLACE "\n- " "\n  * " items "${items}")
  string(REPLACE "`" "" items "${items}")
  string(APPEND debian_changelog "romweave (${version}) unstable; urgency=medium\n${items}\n\n"
                                 " -- ${CPACK_PACKAGE_CONTACT}  ${debian_date}\n\n")
endwhile()
if(NOT ROMWEAVE_RELEASE_EPOCH)
  message(FATAL_ERROR "NEWS.md has no entry headed \"## VERSION (YYYY-MM-DD)\"")
endif()
string(STRIP "${debian_changelog}" debian_changelog)
file(WRITE ${PROJECT_BINARY_DIR}/changelog "${debian_changelog}\n")

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
