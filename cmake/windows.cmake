# Windows packages of the cross builds (presets win64 and win32):
#
#   (cd build-win64 && cpack -G ZIP)        fervadm-<version>-win64.zip
#   cmake --build build-win64 --target msi  fervadm-<version>-win64.msi
#
# The ZIP holds the programs, the manual pages rendered to text, a README for
# Windows and, in rehearsal\, the emulator, the relay driver and its
# installer for rehearsing without the driver. The MSI (made with wixl, from
# msitools) installs the programs, the pages and the README under Program
# Files and adds that folder to the system PATH; its upgrade code stays the
# same from version to version, so a newer MSI replaces an older one. Both
# take their version from the project's.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(FERV_WIN_NAME win64)
  set(FERV_MSI_ARCH x64)
  set(FERV_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(FERV_MSI_WIN64 yes)
  set(FERV_MSI_UPGRADE_CODE 3f241573-d5fc-4e3b-83c4-003dd0f695cb)
else()
  set(FERV_WIN_NAME win32)
  set(FERV_MSI_ARCH x86)
  set(FERV_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(FERV_MSI_WIN64 no)
  set(FERV_MSI_UPGRADE_CODE c0ce34db-f968-4d84-8b66-7103b1292f4f)
endif()
set(FERV_WIN_PACKAGE fervadm-${PROJECT_VERSION}-${FERV_WIN_NAME})

# ---- what the packages hold -----------------------------------------------------
set(FERV_WIN_PROGRAMS fervadm fervadmctl)
if(TARGET fervmon)
  list(APPEND FERV_WIN_PROGRAMS fervmon)
endif()
install(TARGETS ${FERV_WIN_PROGRAMS} RUNTIME DESTINATION . COMPONENT programs)

# The README, with the version and the package's own name in it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/README.txt.in ${CMAKE_BINARY_DIR}/windows/README.lf @ONLY)
# Windows text files end their lines with CR LF.
set(FERV_TO_CRLF sed -e "s/$/\\r/")
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/windows/README.txt
  COMMAND ${FERV_TO_CRLF} ${CMAKE_BINARY_DIR}/windows/README.lf > ${CMAKE_BINARY_DIR}/windows/README.txt
  DEPENDS ${CMAKE_BINARY_DIR}/windows/README.lf
  VERBATIM)
set(FERV_WIN_DOCS ${CMAKE_BINARY_DIR}/windows/README.txt)

# The manual pages as plain text: no overstriking, no escape sequences.
find_program(FERV_GROFF groff)
set(FERV_WIN_PAGES)
if(FERV_GROFF)
  foreach(program fervadm fervadmctl fervmon fervsim)
    set(text ${CMAKE_BINARY_DIR}/windows/doc/${program}.txt)
    add_custom_command(
      OUTPUT ${text}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/windows/doc
      COMMAND ${FERV_GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/${program}.8 | ${FERV_TO_CRLF} > ${text}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${program}.8
      COMMENT "Rendering ${program}(8) as text"
      VERBATIM)
    list(APPEND FERV_WIN_PAGES ${text})
  endforeach()
else()
  message(WARNING "groff not found: the Windows packages will carry no manual pages (install groff-base)")
endif()
add_custom_target(ferv_windows_docs ALL DEPENDS ${FERV_WIN_DOCS} ${FERV_WIN_PAGES})
install(FILES ${FERV_WIN_DOCS} DESTINATION . COMPONENT programs)
install(FILES ${FERV_WIN_PAGES} DESTINATION doc COMPONENT programs)

# The rehearsal kit: what takes the driver's place on a lab machine.
if(TARGET fervsim AND TARGET fervrelay-install)
  install(TARGETS fervsim fervrelay-install RUNTIME DESTINATION rehearsal COMPONENT rehearsal)
  install(FILES ${CMAKE_BINARY_DIR}/relay.sys DESTINATION rehearsal COMPONENT rehearsal)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/topologies/ DESTINATION rehearsal/topologies COMPONENT rehearsal)
endif()

# ---- the ZIP ----------------------------------------------------------------------
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME fervadm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fervadm developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administration tool for a multipath-failover storage driver")
set(CPACK_PACKAGE_FILE_NAME ${FERV_WIN_PACKAGE})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

# ---- the MSI ----------------------------------------------------------------------
# cmake/windows/make-msi.sh builds it from a copy of cmake/windows/fervadm.wxs
# beside the programs (wixl finds the files relative to it), with the
# settings below.
find_program(FERV_WIXL wixl)
find_program(FERV_MSIBUILD msibuild)
set(FERV_MSI ${CMAKE_BINARY_DIR}/${FERV_WIN_PACKAGE}.msi)
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/fervadm.wxs ${CMAKE_BINARY_DIR}/fervadm.wxs COPYONLY)
if(TARGET fervmon)
  set(FERV_MSI_HAS_FERVMON yes)
else()
  set(FERV_MSI_HAS_FERVMON no)
endif()
file(WRITE ${CMAKE_BINARY_DIR}/windows/msi-settings
"FERV_MSI_VERSION=${PROJECT_VERSION}
FERV_MSI_ARCH=${FERV_MSI_ARCH}
FERV_MSI_UPGRADE_CODE=${FERV_MSI_UPGRADE_CODE}
FERV_MSI_PROGRAM_FILES=${FERV_MSI_PROGRAM_FILES}
FERV_MSI_WIN64=${FERV_MSI_WIN64}
FERV_MSI_HAS_FERVMON=${FERV_MSI_HAS_FERVMON}
")
if(FERV_WIXL AND FERV_MSIBUILD)
  add_custom_command(
    OUTPUT ${FERV_MSI}
    COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/windows/make-msi.sh ${CMAKE_BINARY_DIR} ${FERV_MSI}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/windows/fervadm.wxs ${PROJECT_SOURCE_DIR}/cmake/windows/make-msi.sh
            ${FERV_WIN_PROGRAMS} ${FERV_WIN_DOCS} ${FERV_WIN_PAGES} ferv_windows_docs
    COMMENT "Building ${FERV_WIN_PACKAGE}.msi"
    VERBATIM)
  add_custom_target(msi DEPENDS ${FERV_MSI})
else()
  add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -E echo "wixl or msibuild not found: install Debian's wixl and msitools to build the MSI"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
