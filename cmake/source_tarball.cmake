# Makes the source release RELEASE.tar.gz in the working directory, run by
# the source_tarball target as
#   cmake -DSOURCE=<source directory> -DRELEASE=romweave-<version> -P source_tarball.cmake
# From a git checkout: the files that git tracks in the checked-out commit,
# with their list as MANIFEST, every member with the commit's time, compressed
# without a time stamp, so the same commit always gives the same tarball.
# From an unpacked release, where there is no git: the files that its
# MANIFEST lists, with the times they were unpacked with.
set(tarball ${RELEASE}.tar.gz)
set(staging ${CMAKE_CURRENT_BINARY_DIR}/source_release)
file(REMOVE_RECURSE ${staging})

if(EXISTS ${SOURCE}/.git)
  # Looked for now rather than at configure time, so that git installed after
  # the first configure is found.
  find_program(GIT git)
  if(NOT GIT)
    message(FATAL_ERROR "${SOURCE} is a git checkout, but git is not installed (Debian: package git)")
  endif()
  file(MAKE_DIRECTORY ${staging})
  execute_process(COMMAND ${GIT} -C ${SOURCE} ls-tree -r --name-only HEAD
    OUTPUT_FILE ${staging}/MANIFEST COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND ${GIT} -C ${SOURCE} archive --format=tar --prefix=${RELEASE}/ --add-file=${staging}/MANIFEST HEAD
    COMMAND gzip -9n
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${tarball} COMMAND_ERROR_IS_FATAL ANY)
elseif(EXISTS ${SOURCE}/MANIFEST)
  file(STRINGS ${SOURCE}/MANIFEST files)
  set(members)
  foreach(file MANIFEST ${files})
    get_filename_component(folder ${staging}/${RELEASE}/${file} DIRECTORY)
    file(COPY ${SOURCE}/${file} DESTINATION ${folder})
    string(APPEND members "${RELEASE}/${file}\n")
  endforeach()
  file(WRITE ${staging}/members "${members}")
  # With SOURCE_DATE_EPOCH set, CMake leaves the time out of the gzip header.
  set(ENV{SOURCE_DATE_EPOCH} 0)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${CMAKE_CURRENT_BINARY_DIR}/${tarball} --format=gnutar
                          --files-from=members
    WORKING_DIRECTORY ${staging} COMMAND_ERROR_IS_FATAL ANY)
else()
  message(FATAL_ERROR "${SOURCE} is neither a git checkout nor an unpacked source release (it has no MANIFEST)")
endif()
file(REMOVE_RECURSE ${staging})
