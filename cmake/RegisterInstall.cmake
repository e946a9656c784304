# What `cmake --install` gives an integrator, in the GNUInstallDirs layout, in
# three components that packagers can install apart
# (`cmake --install <build> --component <name>`):
#   Runtime      the shared library alone (register.dll; libregister.so.1 and
#                the file it names)
#   Development  the header, the libregister.so link or the import library and
#                module-definition file, the CMake package with the imported
#                target register::register, register.pc, README and LICENSE
#   Tools        the test service and its manual (Linux builds with tools)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Projects that add this tree with add_subdirectory() use the same name as
# those that find the installed package.
add_library(register::register ALIAS register)

set(REGISTER_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/register)
set(REGISTER_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS register EXPORT registerTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/register/register.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/register COMPONENT Development)

if(WIN32)
  # The module-definition file the DLL was linked with (the i686 one keeps the
  # __stdcall decorations), for tool chains that make their own import
  # library from it.
  get_target_property(registerSources register SOURCES)
  list(FILTER registerSources INCLUDE REGEX "\\.def$")
  install(FILES ${registerSources} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  set(REGISTER_INSTALL_DOCDIR .)
else()
  set(REGISTER_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()
if(TARGET register-test-service)
  install(TARGETS register-test-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT Tools)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/test-service.md DESTINATION ${REGISTER_INSTALL_DOCDIR}
          COMPONENT Tools)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${REGISTER_INSTALL_DOCDIR} COMPONENT Development)

install(EXPORT registerTargets NAMESPACE register:: DESTINATION ${REGISTER_INSTALL_CMAKEDIR}
        COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/registerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/registerConfig.cmake
  INSTALL_DESTINATION ${REGISTER_INSTALL_CMAKEDIR})
# A new major version is a new C interface; the check also keeps a 32-bit
# package from a 64-bit consumer.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/registerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/registerConfig.cmake
              ${PROJECT_BINARY_DIR}/registerConfigVersion.cmake
        DESTINATION ${REGISTER_INSTALL_CMAKEDIR} COMPONENT Development)

# register.pc finds its prefix from its own place, so that the tree works
# wherever it is installed or unpacked (cmake --install --prefix, archives).
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR} OR IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(REGISTER_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(REGISTER_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(REGISTER_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  file(RELATIVE_PATH pcToPrefix /${REGISTER_INSTALL_PKGCONFIGDIR} /)
  string(REGEX REPLACE "/$" "" pcToPrefix "${pcToPrefix}")
  set(REGISTER_PC_PREFIX "\${pcfiledir}/${pcToPrefix}")
  set(REGISTER_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(REGISTER_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/register.pc.in ${PROJECT_BINARY_DIR}/register.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/register.pc DESTINATION ${REGISTER_INSTALL_PKGCONFIGDIR}
        COMPONENT Development)
