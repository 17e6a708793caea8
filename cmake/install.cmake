# What `cmake --install` puts under the prefix, and the Debian package made of the same:
# the shared library with its soname, the two public headers, irlib and its man page, a
# CMake package (varnel32::varnel32), varnel32.pc, README and LICENSE. Nothing internal:
# the object libraries, the test variants and src/ headers stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VARNEL32_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnel32)

target_include_directories(varnel32 INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS varnel32 EXPORT varnel32Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/varnel32.h ${PROJECT_SOURCE_DIR}/include/varnel32_host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT varnel32Targets NAMESPACE varnel32:: DESTINATION ${VARNEL32_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varnel32Config.cmake.in
  ${PROJECT_BINARY_DIR}/varnel32Config.cmake INSTALL_DESTINATION ${VARNEL32_CMAKE_DIR})
# 1.x callers work with any 1.y: the interface only grows within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varnel32ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/varnel32Config.cmake
  ${PROJECT_BINARY_DIR}/varnel32ConfigVersion.cmake DESTINATION ${VARNEL32_CMAKE_DIR})

# varnel32.pc names the prefix given at install time (cmake --install --prefix, or /usr in
# the .deb), not the one configured: the directories relative to it are filled in now, the
# prefix itself when the file is installed.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(VARNEL32_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(VARNEL32_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(VARNEL32_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnel32.pc.in ${PROJECT_BINARY_DIR}/varnel32.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/varnel32.pc.in\"
  \"${PROJECT_BINARY_DIR}/varnel32.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/varnel32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET irlib)
  # The library is found beside the tool wherever the prefix is, /usr or a private one.
  file(RELATIVE_PATH VARNEL32_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(irlib PROPERTIES INSTALL_RPATH "$ORIGIN/${VARNEL32_BIN_TO_LIB}")
  install(TARGETS irlib RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Man pages are installed compressed (Debian policy); man reads either form.
  find_program(VARNEL32_GZIP gzip)
  if(VARNEL32_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/irlib.1.gz
      COMMAND ${VARNEL32_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/irlib.1 > irlib.1.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/irlib.1
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
    add_custom_target(varnel32_man ALL DEPENDS ${PROJECT_BINARY_DIR}/irlib.1.gz)
    install(FILES ${PROJECT_BINARY_DIR}/irlib.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${PROJECT_SOURCE_DIR}/docs/irlib.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- The Debian package (make package) ---------------------------------------------------
# One package, varnel32_<version>_<arch>.deb, holding exactly what an install holds, under
# /usr. Its dependencies come from dpkg-shlibdeps; its shlibs file lets packages built
# against it depend on it in turn.
if(PROJECT_IS_TOP_LEVEL AND NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME varnel32)
  set(CPACK_PACKAGE_VENDOR "the varnel32 authors")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "library and tool for infrared remote-control data in single library files")
  set(CPACK_PACKAGE_DESCRIPTION "varnel32 stores infrared remote-control data in single, \
checksummed library files. This package holds the shared library (libvarnel32.so.1), \
its C header, CMake package and pkg-config file, and the irlib command-line tool, which \
creates, lists, checks, imports, exports and repairs library files.")
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the varnel32 authors")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  include(CPack)
endif()
