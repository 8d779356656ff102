# What an integrator downloads, made by CPack (scripts/package.sh): on Linux one .deb with the
# module, the headers, the CMake package and the pkg-config file; on Windows one zip with the x64
# and x86 DLLs side by side, the headers, both CMake packages and INTEGRATION.md. Both hold only
# the module's install components: the tools a build may install beside it stay out.
set(CPACK_PACKAGE_NAME quenlark-ipcapture)
set(CPACK_PACKAGE_VENDOR Quenlark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Quenlark IP camera driver module for network video recorders")
set(CPACK_PACKAGE_CONTACT "Quenlark driver team <drivers@quenlark.example>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  # Both Windows builds go into the one zip: each installs into bin/<arch>/ and its own CMake
  # package folder, the headers are the same files. The x86 build is the sibling preset's.
  set(QUENLARK_WINDOWS_PACKAGE_BUILDS
      "${PROJECT_SOURCE_DIR}/build-windows-x64;${PROJECT_SOURCE_DIR}/build-windows-x86"
      CACHE STRING "The Windows build folders whose install the zip gathers")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows)
  set(CPACK_INSTALL_CMAKE_PROJECTS)
  foreach(build IN LISTS QUENLARK_WINDOWS_PACKAGE_BUILDS)
    foreach(component runtime development)
      list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${build} ${PROJECT_NAME} ${component} /)
    endforeach()
  endforeach()

  # The integration text names the exports as the .def file gives them.
  file(STRINGS ${PROJECT_SOURCE_DIR}/driver/exports.def quenlark_def_lines REGEX "^  [A-Za-z]")
  list(TRANSFORM quenlark_def_lines STRIP)
  list(TRANSFORM quenlark_def_lines PREPEND "`")
  list(TRANSFORM quenlark_def_lines APPEND "`")
  list(JOIN quenlark_def_lines ", " QUENLARK_EXPORT_NAMES)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/package/INTEGRATION.md.in
    ${PROJECT_BINARY_DIR}/INTEGRATION.md @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/INTEGRATION.md DESTINATION . COMPONENT development)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quenlark-ipcapture_VERSION_ARCH.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # The dependencies are the packages of the libraries the module links, as dpkg-shlibdeps
  # finds them in the installed packages' own records: no network needed.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_CMAKE_PROJECTS
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} runtime /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} development /)
endif()
include(CPack)
