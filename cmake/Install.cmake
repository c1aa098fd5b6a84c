# Installation into the usual GNU locations and the Debian package.
include(GNUInstallDirs)

set(INVENTORY_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ipmiinventory")
set(INVENTORY_DATA_FILES
  ${PROJECT_SOURCE_DIR}/data/ErrorCodes.xml
  ${PROJECT_SOURCE_DIR}/data/98-secupdusb.rules
  ${PROJECT_SOURCE_DIR}/data/00-secupd-brenn.rules
  ${PROJECT_SOURCE_DIR}/data/KvoIPMIConfig.xml)

install(TARGETS ipmiinventory LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ipmi-inventory RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# What a host needs: the entry points' declarations and the record.
install(FILES ${PROJECT_SOURCE_DIR}/inventory/Stage_IPMIInventory.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipmiinventory/inventory)
install(FILES ${PROJECT_SOURCE_DIR}/baseutils/DeviceInfo.h ${PROJECT_SOURCE_DIR}/baseutils/Export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipmiinventory/baseutils)
install(FILES ${INVENTORY_DATA_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/ipmiinventory)
# The work directory of ipmi-inventory, with the files the plug-in reads
# from its current directory. KvoIPMIConfig.xml stays an example: its
# presence there would change the IPMI settings.
install(FILES ${PROJECT_SOURCE_DIR}/data/ErrorCodes.xml
  ${PROJECT_SOURCE_DIR}/data/98-secupdusb.rules ${PROJECT_SOURCE_DIR}/data/00-secupd-brenn.rules
  DESTINATION ${INVENTORY_STATE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/ipmi-inventory.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

configure_file(${PROJECT_SOURCE_DIR}/cmake/ipmiinventory.pc.in
  ${PROJECT_BINARY_DIR}/ipmiinventory.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ipmiinventory.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipmiinventory)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ipmiinventory maintainers <ipmiinventory@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Inventory plug-in: firmware and software components the management controller keeps")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A plug-in for host update frameworks (libipmiinventory.so) and the command-line host
 ipmi-inventory. They ask the server's management controller over OEM IPMI which
 firmware and software components it has on record, exchanging files through a
 temporary USB drop box partition of the controller's embedded storage.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dosfstools, kmod")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
