# Install rules: the two shared libraries with their headers, the CMake package
# (find_package(velcache CONFIG) gives velcache::velcache and velcache::velplatform), the
# pkg-config file and, when built, the velcache command-line tool. Components: runtime (the
# libraries), development (headers, CMake package, pkg-config file, .so links) and tool; the
# Debian packages of cmake/Packaging.cmake are made one per component.
include(CMakePackageConfigHelpers)

set(VELCACHE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velcache)

install(TARGETS velplatform velcache
  EXPORT velcacheTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velcache COMPONENT development)
if(TARGET velcache_cli)
  install(TARGETS velcache_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
# The run paths ($ORIGIN) let a tree installed under any prefix find its own libraries; where
# the dynamic linker searches the library directory anyway (/usr), they are left out.
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(velcache PROPERTIES INSTALL_RPATH "")
  if(TARGET velcache_cli)
    set_target_properties(velcache_cli PROPERTIES INSTALL_RPATH "")
  endif()
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

if(PROJECT_IS_TOP_LEVEL)
  include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
endif()
