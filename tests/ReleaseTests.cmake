# The checks of what the project ships, in every build that has tests.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/system ${CMAKE_CURRENT_BINARY_DIR}/system)

# What the plug-in library exports, checked on the built library.
add_test(NAME exports.symbol_table
  COMMAND ${CMAKE_COMMAND} -E env bash ${CMAKE_CURRENT_LIST_DIR}/check_exports.sh $<TARGET_FILE:ipmiinventory>)

# The test variant of the plug-in library: the same objects plus the
# virtual server, which a host test names by IPMI_INVENTORY_TEST_SERVER. It
# is never installed or packaged; the production library is only ever
# loaded where it touches nothing (its symbol table).
add_library(ipmiinventory_vserver SHARED
  $<TARGET_OBJECTS:layer_baseutils> $<TARGET_OBJECTS:layer_kvoipmi>
  $<TARGET_OBJECTS:layer_storage> $<TARGET_OBJECTS:layer_inventory>
  ${CMAKE_CURRENT_LIST_DIR}/support/TestServerPlugin.cpp)
target_include_directories(ipmiinventory_vserver PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(ipmiinventory_vserver PRIVATE vserver PkgConfig::LIBXML2 Threads::Threads
  ${CMAKE_DL_LIBS})
target_link_options(ipmiinventory_vserver PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map)

# The Debian package, unpacked and used as a host would.
add_test(NAME package.install_and_run
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package/check_package.sh ${PROJECT_SOURCE_DIR}
    ${PROJECT_BINARY_DIR} $<TARGET_FILE:ipmiinventory_vserver>)
set_tests_properties(package.install_and_run PROPERTIES LABELS package
  ENVIRONMENT "TMPDIR=${TEST_TMPDIR}")
