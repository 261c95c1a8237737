# Run by cpack after it has made the .deb: cpack writes the package's ar
# members with the builder's umask and the packing time, so they are packed
# again in deterministic mode (mode 0644, owner 0, time 0), which dpkg reads
# as before. The tar members inside already carry the release date.
foreach(package ${CPACK_PACKAGE_FILES})
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(members ${package}.members)
  file(REMOVE_RECURSE ${members})
  file(MAKE_DIRECTORY ${members})
  execute_process(COMMAND ar x ${package} WORKING_DIRECTORY ${members} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB control RELATIVE ${members} ${members}/control.tar.*)
  file(GLOB data RELATIVE ${members} ${members}/data.tar.*)
  file(REMOVE ${package})
  execute_process(COMMAND ar rcD ${package} debian-binary ${control} ${data}
    WORKING_DIRECTORY ${members} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${members})
endforeach()
