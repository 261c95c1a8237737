# Run by cpack after it has made a zip or a tar.gz: cpack writes each member
# with the builder's user and group, a zip's times in the builder's time zone,
# and the members in the order that the file system lists them. The archive is
# written again from the files cpack staged: members in name order, owned by
# no one (a zip) or by root (a tar.gz), all with the release date in UTC, so
# that the same source gives the same archive whoever builds it, wherever.
string(TIMESTAMP release_time "%Y%m%d%H%M.%S" UTC)  # SOURCE_DATE_EPOCH, set by CPackRelease.cmake
foreach(package ${CPACK_PACKAGE_FILES})
  file(GLOB_RECURSE files RELATIVE ${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
  file(REMOVE ${package})
  if(package MATCHES "\\.zip$")
    # Info-ZIP's zip writes DOS times in local time, and with -X no Unix
    # extra fields (user, group, times).
    execute_process(COMMAND env TZ=UTC0 touch -t ${release_time} ${files}
      COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY})
    execute_process(COMMAND env TZ=UTC0 ${CPACK_ROMWEAVE_ZIP} -X -D -9 -q ${package} ${files}
      COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY})
  else()
    file(GLOB_RECURSE members LIST_DIRECTORIES true RELATIVE ${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
    get_filename_component(top ${CPACK_TEMPORARY_DIRECTORY} NAME)
    execute_process(
      COMMAND tar --format=gnu --no-recursion --owner=0 --group=0 --numeric-owner --mode=go-w
                  --mtime=@$ENV{SOURCE_DATE_EPOCH} -cf - ${top} ${members}
      COMMAND gzip -9n
      OUTPUT_FILE ${package} COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY})
  endif()
endforeach()
