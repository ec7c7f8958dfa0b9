# Installation and the Debian package.
#
# `cmake --install` (and the package, under /usr) lays out:
#   <prefix>/lib/orva/                   the installation folder: the programs, the project
#                                        template, html/, examples/ and lib/ (the OpenSSL
#                                        adapters of the web server's TLS)
#   <prefix>/bin/<program>               links to the programs in the installation folder
#                                        (each finds its folder through /proc/self/exe)
#   <prefix>/lib/systemd/user/orva.service   the backend as a systemd user service
#   <prefix>/share/doc/orva/             README and docs
#
# `cpack` (in the build folder) makes orva_<version>_<arch>.deb; its dependencies are
# found by dpkg-shlibdeps from the libraries the programs link against.

# The programs, and the simulators that exist in this tree.
set(ORVA_PROGRAMS orva_backend orva_cmdline orva_ui orva_mira_sim orva_tesira_sim)
set(link_dir ${CMAKE_BINARY_DIR}/install_links)
file(MAKE_DIRECTORY ${link_dir})
foreach(program IN LISTS ORVA_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${ORVA_INSTALL_DIR})
    file(CREATE_LINK ../${ORVA_INSTALL_DIR}/${program} ${link_dir}/${program} SYMBOLIC)
    install(FILES ${link_dir}/${program} DESTINATION bin)
  endif()
endforeach()

install(TARGETS orva_crypto_adapter orva_ssl_adapter LIBRARY DESTINATION ${ORVA_INSTALL_DIR}/lib)

set(ORVA_DOC_DESTINATION share/doc/orva)
install(FILES README.md DESTINATION ${ORVA_DOC_DESTINATION})
install(DIRECTORY docs/ DESTINATION ${ORVA_DOC_DESTINATION}/docs FILES_MATCHING PATTERN "*.md")

# The unit names the installed backend by its absolute path, so it is written at install
# time, when the prefix is known (the package installs under /usr).
set(ORVA_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/data/orva.service.in)
install(CODE "
  set(ORVA_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${ORVA_INSTALL_DIR}/orva_backend\")
  set(ORVA_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${ORVA_DOC_DESTINATION}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/orva.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${ORVA_UNIT_TEMPLATE}\" \"\${unit}\" @ONLY)
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orva developers <orva@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configures and monitors networked four-channel power amplifiers")
set(CPACK_PACKAGE_DESCRIPTION "Orva keeps an amplifier project, serves it with a REST API, WebSocket
notifications and a browser user interface on port 8080, and talks to Mira
amplifiers over UDP and to Tesira-hosted amplifiers over telnet. The package
holds the backend (a systemd user service), the launcher, the desktop shell
and the amplifier simulators.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The desktop shell opens pages with xdg-open; the backend runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
