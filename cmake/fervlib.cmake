# FervLib for other programs: the public headers, one static library per
# channel and the files that find them, in the install component `dev`
# (Debian package libfervlib-dev).
#
#   FervLib::enum     libfervlib-enum.a     the driver's interfaces, as fervadm
#   FervLib::control  libfervlib-control.a  its control device, as fervadmctl
#   FervLib::select   libfervlib-select.a   either, chosen at run time
#                                           (FervSelectControlDevice), as fervmon
#
# Each library holds everything a program needs besides its own code: the
# calls, one channel, the platform layer and the default console sink, which
# prints the library's lines on standard output. A program that defines
# FervPrint and FervFlush itself links its own sink instead: the archive's
# member that holds the default is then never pulled in.
#
# CMake users: find_package(FervLib) and link FervLib::enum (or ::control,
# ::select). Others: pkg-config fervlib-enum (or -control, -select).
if(WIN32)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The objects go into other programs, maybe into shared objects of theirs.
set(FERV_LIB_PARTS ferv_lib ferv_platform ferv_console)
set(FERV_LIB_CHANNELS enum control select)
set(FERV_LIB_CHANNEL_enum ferv_channel_enum)
set(FERV_LIB_CHANNEL_control ferv_channel_ctl)
set(FERV_LIB_CHANNEL_select ferv_channel_select)
set(FERV_LIB_TARGETS)
foreach(channel ${FERV_LIB_CHANNELS})
  set(parts ${FERV_LIB_PARTS} ${FERV_LIB_CHANNEL_${channel}})
  set_target_properties(${parts} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  set(objects)
  foreach(part ${parts})
    list(APPEND objects $<TARGET_OBJECTS:${part}>)
  endforeach()
  set(target fervlib_${channel})
  add_library(${target} STATIC ${objects})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME fervlib-${channel}
    EXPORT_NAME ${channel}
    LINKER_LANGUAGE CXX
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fervlib)
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # A sanitizer build's objects need the sanitizers' run-time in the program.
  if(FERV_SANITIZE)
    target_link_options(${target} INTERFACE -fsanitize=${FERV_SANITIZE})
  endif()
  list(APPEND FERV_LIB_TARGETS ${target})
endforeach()

install(TARGETS ${FERV_LIB_TARGETS} EXPORT FervLibTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/lib/fervlib.h
              ${PROJECT_SOURCE_DIR}/console/ferv_console.h
              ${PROJECT_SOURCE_DIR}/channel/ferv_channel_select.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(FERV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/FervLib)
install(EXPORT FervLibTargets NAMESPACE FervLib:: FILE FervLibTargets.cmake
        DESTINATION ${FERV_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/FervLibConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/fervlib/FervLibConfig.cmake
                              INSTALL_DESTINATION ${FERV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/fervlib/FervLibConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/fervlib/FervLibConfig.cmake
              ${CMAKE_BINARY_DIR}/fervlib/FervLibConfigVersion.cmake
        DESTINATION ${FERV_CMAKE_PACKAGE_DIR} COMPONENT dev)

# pkg-config files, one per library. They find the tree from where they lie,
# so a tree moved elsewhere (a staging root, another prefix) still works.
file(RELATIVE_PATH FERV_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
set(FERV_PC_LINK_OPTIONS)
if(FERV_SANITIZE)
  set(FERV_PC_LINK_OPTIONS " -fsanitize=${FERV_SANITIZE}")
endif()
foreach(channel ${FERV_LIB_CHANNELS})
  set(FERV_PC_CHANNEL ${channel})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/fervlib.pc.in
                 ${CMAKE_BINARY_DIR}/fervlib/fervlib-${channel}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/fervlib/fervlib-${channel}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
