# SPDX-License-Identifier: MIT
# Run by cpack once the packages are built (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a library in /usr/lib postinst and postrm
# scripts that call ldconfig; Debian wants the ldconfig trigger instead (the
# package's triggers file) and no such scripts. This takes them out of
# libmivoraface1's control archive; the data archive stays as built.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libmivoraface1_")
    continue()
  endif()
  get_filename_component(work ${deb} DIRECTORY)
  set(work ${work}/control_of_${name})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work}/control)
  execute_process(COMMAND ar t ${deb} OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "control\\.tar(\\.[a-z]+)?" member "${members}")
  execute_process(COMMAND ar x ${deb} ${member} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -xf ${member} -C control WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  if(NOT EXISTS ${work}/control/triggers)
    message(FATAL_ERROR "${name} has no triggers file")
  endif()
  file(REMOVE ${work}/control/postinst ${work}/control/postrm ${work}/${member})
  execute_process(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner -caf ${member} -C control .
    WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  # Replaced in place: the members keep the order dpkg requires.
  execute_process(COMMAND ar r ${deb} ${member} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
endforeach()
