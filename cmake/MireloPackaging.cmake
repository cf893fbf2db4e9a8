# Installation (cmake --install) and the Debian packages (cpack -G DEB).
#
# The helpers are private programs of the desktop application: they go together into one
# folder, libexec/mirelo/, because the update helper loads its core and its window module
# and starts mirelo-open from its own folder. The development tools go to bin/ as a
# component of their own. Programs added later are installed once their targets exist.

include(GNUInstallDirs)

set(MIRELO_PRIVATE_DIR ${CMAKE_INSTALL_LIBEXECDIR}/mirelo)

install(TARGETS mirelo-update-helper mirelo-meeting-helper
  RUNTIME DESTINATION ${MIRELO_PRIVATE_DIR} COMPONENT helpers)
install(TARGETS mirelo-update-core
  LIBRARY DESTINATION ${MIRELO_PRIVATE_DIR} COMPONENT helpers)
set(mirelo_man_pages mirelo-update-helper.1 mirelo-meeting-helper.1)
if(TARGET mirelo-open)
  install(TARGETS mirelo-open RUNTIME DESTINATION ${MIRELO_PRIVATE_DIR} COMPONENT helpers)
  list(APPEND mirelo_man_pages mirelo-open.1)
endif()
if(TARGET mirelo-update-window)
  install(TARGETS mirelo-update-window LIBRARY DESTINATION ${MIRELO_PRIVATE_DIR} COMPONENT helpers)
endif()
list(TRANSFORM mirelo_man_pages PREPEND ${CMAKE_SOURCE_DIR}/man/)
install(FILES ${mirelo_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT helpers)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/mirelo-helpers
  COMPONENT helpers)

install(TARGETS mirelo-codesign mirelo-sample-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/man/mirelo-codesign.1 ${CMAKE_SOURCE_DIR}/man/mirelo-sample-app.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/mirelo-dev-tools
  COMPONENT tools)

# One package per component: mirelo-helpers for the desktop application, mirelo-dev-tools
# for developers. Library dependencies are read off the binaries by dpkg-shlibdeps; the
# system tools that the programs start are declared.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirelo-helpers)
set(CPACK_PACKAGE_VENDOR "Mirelo")
set(CPACK_PACKAGE_CONTACT "Mirelo developers <dev@mirelo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Helper programs of the Mirelo desktop application")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL helpers tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_HELPERS_PACKAGE_NAME mirelo-helpers)
set(CPACK_DEBIAN_HELPERS_PACKAGE_DEPENDS "unzip")
set(CPACK_COMPONENT_HELPERS_DESCRIPTION
  "mirelo-update-helper prepares, verifies and atomically installs updates of Mirelo;\nmirelo-meeting-helper reports the processes that capture microphone input.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME mirelo-dev-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "zip")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "mirelo-codesign signs and checks bundles; mirelo-sample-app writes signed sample applications.")
include(CPack)

# The installed programs, not the build tree's, prepare and install an update.
foreach(how install package)
  add_test(NAME installed_programs_${how}
    COMMAND bash ${CMAKE_SOURCE_DIR}/testing/installed_programs_test.sh ${how} ${CMAKE_BINARY_DIR})
  set_tests_properties(installed_programs_${how} PROPERTIES TIMEOUT 600)
endforeach()
