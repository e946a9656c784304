# Release archives of the installed tree (RegisterInstall.cmake), made with
# `cpack` in a build directory: a ZIP for each Windows architecture
# (register-<version>-win32.zip, -win64.zip) and a tar.gz for Linux
# (register-<version>-Linux-<processor>.tar.gz).
set(CPACK_PACKAGE_NAME register)
set(CPACK_PACKAGE_VENDOR "The register developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Registers a user of the game with the game maker's online service")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # CPack's own names, chosen by pointer size: win32 and win64.
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
# Build directories live inside the source tree.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES /\\.git/ /build/ /\\.cache/ /CMakeUserPresets\\.json$)
include(CPack)
