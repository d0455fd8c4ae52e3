# Install rules: the two shared libraries with their headers, the CMake package
# (find_package(velcache CONFIG) gives velcache::velcache and velcache::velplatform), the
# pkg-config file and, when built, the velcache command-line tool.
include(CMakePackageConfigHelpers)

set(VELCACHE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velcache)

install(TARGETS velplatform velcache
  EXPORT velcacheTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velcache COMPONENT development)
if(TARGET velcache_cli)
  install(TARGETS velcache_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(EXPORT velcacheTargets
  NAMESPACE velcache::
  DESTINATION ${VELCACHE_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/velcacheConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velcacheConfig.cmake
  INSTALL_DESTINATION ${VELCACHE_CMAKE_DIR})
# Before 1.0 a new minor version may break the interface: only the same major.minor matches.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/velcacheConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/velcacheConfig.cmake
  ${PROJECT_BINARY_DIR}/velcacheConfigVersion.cmake
  DESTINATION ${VELCACHE_CMAKE_DIR}
  COMPONENT development)

# pkg-config: the prefix is found relative to the .pc file, so the installed tree can move.
set(VELCACHE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VELCACHE_PC_TO_PREFIX
     ${CMAKE_INSTALL_PREFIX}/${VELCACHE_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELCACHE_PC_TO_PREFIX "${VELCACHE_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/velcache.pc.in ${PROJECT_BINARY_DIR}/velcache.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velcache.pc
  DESTINATION ${VELCACHE_PC_DIR}
  COMPONENT development)
