# Install rules of the POSIX package: the programs, their manual pages, the
# example topologies of the emulator and the bash completions, laid out as
# a Unix tool is (bin/, share/man/man8/, share/fervadm/,
# share/bash-completion/completions/ under the prefix), in the component
# `programs`; and FervLib for other programs (cmake/fervlib.cmake), in the
# component `dev`.
#
# Windows builds lay out their ZIP and installer in cmake/windows.cmake.
if(WIN32)
  return()
endif()

include(GNUInstallDirs)

# fervadmctl, fervsim and fervmon are optional targets (the control channel,
# the emulator and the monitor may be left out of a build); install what
# this build has, and the manual page of each program that is installed.
set(FERV_INSTALLED_PROGRAMS fervadm)
foreach(program fervadmctl fervsim fervmon)
  if(TARGET ${program})
    list(APPEND FERV_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()

install(TARGETS ${FERV_INSTALLED_PROGRAMS}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)

# Manual pages are installed compressed, as Debian and most distributions
# keep them; gzip -n leaves out the time stamp so that two builds of the
# same page give the same bytes. Without gzip the plain pages go in, which
# man reads just as well.
find_program(FERV_GZIP gzip)
set(FERV_MAN_PAGES)
foreach(program ${FERV_INSTALLED_PROGRAMS})
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.8)
  if(NOT EXISTS ${page})
    continue()
  endif()
  if(FERV_GZIP)
    set(packed ${CMAKE_BINARY_DIR}/man/${program}.8.gz)
    add_custom_command(
      OUTPUT ${packed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${FERV_GZIP} -9 -n -c ${page} > ${packed}
      DEPENDS ${page}
      COMMENT "Compressing manual page ${program}(8)"
      VERBATIM)
    list(APPEND FERV_MAN_PAGES ${packed})
  else()
    list(APPEND FERV_MAN_PAGES ${page})
  endif()
endforeach()
if(FERV_GZIP)
  add_custom_target(ferv_man_pages ALL DEPENDS ${FERV_MAN_PAGES})
endif()
install(FILES ${FERV_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT programs)

# Example topologies for the emulator, loaded with fervsim's topology option.
if(TARGET fervsim AND IS_DIRECTORY ${PROJECT_SOURCE_DIR}/examples/topologies)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/topologies/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/fervadm COMPONENT programs)
endif()

# bash-completion loads a completion on first use from a file named after
# the command, so fervadmctl gets its own copy of fervadm's script (the
# script registers itself for both names).
set(FERV_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/completions/fervadm
        DESTINATION ${FERV_COMPLETIONS_DIR} COMPONENT programs)
if(TARGET fervadmctl)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/fervadm
          DESTINATION ${FERV_COMPLETIONS_DIR} RENAME fervadmctl COMPONENT programs)
endif()
foreach(program fervsim fervmon)
  if(TARGET ${program})
    install(FILES ${PROJECT_SOURCE_DIR}/completions/${program}
            DESTINATION ${FERV_COMPLETIONS_DIR} COMPONENT programs)
  endif()
endforeach()
