# What recorder developers get from `cmake --install`: the module, the public headers under
# include/quenlark/, a CMake package (find_package(QuenlarkIPCapture)) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUENLARK_PACKAGE QuenlarkIPCapture)
set(QUENLARK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QUENLARK_PACKAGE})
if(WIN32)
  # The x64 and x86 DLLs share a name, so each system installs into a folder of its own and both
  # fit one prefix: bin/x64/, bin/x86/ and a CMake package per system, which find_package tells
  # apart by the version file's pointer size. The DLL has no "lib" prefix.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QUENLARK_WINDOWS_ARCH x64)
  else()
    set(QUENLARK_WINDOWS_ARCH x86)
  endif()
  set(QUENLARK_MODULE_DIR ${CMAKE_INSTALL_BINDIR}/${QUENLARK_WINDOWS_ARCH})
  set(QUENLARK_PACKAGE_DIR ${QUENLARK_PACKAGE_DIR}-${QUENLARK_WINDOWS_ARCH})
  set(QUENLARK_MODULE_FILE_NAME quenlark_ipcapture${CMAKE_SHARED_MODULE_SUFFIX})
else()
  set(QUENLARK_MODULE_DIR ${CMAKE_INSTALL_LIBDIR})
  set(QUENLARK_MODULE_FILE_NAME
      ${CMAKE_SHARED_MODULE_PREFIX}quenlark_ipcapture${CMAKE_SHARED_MODULE_SUFFIX})
endif()

# Recorders include <quenlark/...>: the headers have plain names (debug.h, io.h), so only the
# folder above them goes on the include path. A copy under the build tree gives the file set
# that layout; configure_file re-copies a header whenever it changes.
file(GLOB quenlark_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/driver/host/*.h)
set(quenlark_staged_headers)
foreach(header IN LISTS quenlark_public_headers)
  get_filename_component(name ${header} NAME)
  configure_file(${header} ${PROJECT_BINARY_DIR}/include/quenlark/${name} COPYONLY)
  list(APPEND quenlark_staged_headers ${PROJECT_BINARY_DIR}/include/quenlark/${name})
endforeach()
add_library(quenlark_ipcapture_headers INTERFACE)
target_sources(quenlark_ipcapture_headers INTERFACE
  FILE_SET HEADERS BASE_DIRS ${PROJECT_BINARY_DIR}/include FILES ${quenlark_staged_headers})
target_compile_features(quenlark_ipcapture_headers INTERFACE cxx_std_17)
set_target_properties(quenlark_ipcapture_headers PROPERTIES EXPORT_NAME ipcapture_headers)
set_target_properties(quenlark_ipcapture PROPERTIES EXPORT_NAME ipcapture_module)

install(TARGETS quenlark_ipcapture EXPORT ${QUENLARK_PACKAGE}Targets
  LIBRARY DESTINATION ${QUENLARK_MODULE_DIR} COMPONENT runtime)
install(TARGETS quenlark_ipcapture_headers EXPORT ${QUENLARK_PACKAGE}Targets
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT ${QUENLARK_PACKAGE}Targets NAMESPACE quenlark:: DESTINATION ${QUENLARK_PACKAGE_DIR}
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/${QUENLARK_PACKAGE}Config.cmake.in
  ${PROJECT_BINARY_DIR}/${QUENLARK_PACKAGE}Config.cmake
  INSTALL_DESTINATION ${QUENLARK_PACKAGE_DIR}
  PATH_VARS QUENLARK_MODULE_DIR)
# 0.x: a new minor version may change the host interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${QUENLARK_PACKAGE}ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/${QUENLARK_PACKAGE}Config.cmake
  ${PROJECT_BINARY_DIR}/${QUENLARK_PACKAGE}ConfigVersion.cmake
  DESTINATION ${QUENLARK_PACKAGE_DIR} COMPONENT development)

# The packages an integrator downloads (scripts/package.sh).
include(${CMAKE_CURRENT_LIST_DIR}/Distribution.cmake)

# The pkg-config file holds absolute paths under the prefix given at install time
# (`cmake --install --prefix`), so it is written when installing, not when configuring. Windows
# recorders find the module through the CMake package only.
if(WIN32)
  return()
endif()
set(QUENLARK_INSTALL_PREFIX "@QUENLARK_INSTALL_PREFIX@")  # filled in by the install step
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUENLARK_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUENLARK_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quenlark-ipcapture.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/quenlark-ipcapture.pc.in @ONLY)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/pkgconfig/quenlark-ipcapture.pc.in\" pc)
  string(REPLACE \"@QUENLARK_INSTALL_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/pkgconfig/quenlark-ipcapture.pc\" \"\${pc}\")
  " COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/quenlark-ipcapture.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
