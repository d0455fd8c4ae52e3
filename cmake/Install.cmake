# Install rules: the two shared libraries with their headers, the CMake package
# (find_package(velcache CONFIG) gives velcache::velcache and velcache::velplatform), the
# pkg-config file and, when built, the velcache command-line tool and the commit-log follower.
# Components: runtime (the libraries), development (headers, CMake package, pkg-config file, .so
# links), tool and follow (libvelcachefollow with its header, .so link and CMake targets, and the
# velcache-follow command); the Debian packages of cmake/Packaging.cmake are made one per
# component.
include(CMakePackageConfigHelpers)

set(VELCACHE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velcache)

install(TARGETS velplatform velcache
  EXPORT velcacheTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velcache COMPONENT development)
if(TARGET velcache_cli)
  install(TARGETS velcache_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
# The follower is whole in its component, its development files included: libvelcache-dev must
# not need it, nor a host of velcache that does not follow a database have libpq installed.
if(TARGET velcache_follow)
  install(TARGETS velcache_follow
    EXPORT velcacheFollowTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT follow NAMELINK_COMPONENT follow
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velcache COMPONENT follow)
  if(TARGET velcache_follow_tool)
    install(TARGETS velcache_follow_tool
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT follow)
  endif()
endif()
# The run paths ($ORIGIN) let a tree installed under any prefix find its own libraries; where
# the dynamic linker searches the library directory anyway (/usr), they are left out.
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(velcache PROPERTIES INSTALL_RPATH "")
  foreach(target IN ITEMS velcache_cli velcache_follow velcache_follow_tool)
    if(TARGET ${target})
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "")
    endif()
  endforeach()
endif()

install(EXPORT velcacheTargets
  NAMESPACE velcache::
  DESTINATION ${VELCACHE_CMAKE_DIR}
  COMPONENT development)
# The follower's targets in a file of their own, beside velcacheTargets.cmake, that
# velcacheConfig.cmake reads when it is there (velcache::velcache_follow; find_package's
# component "follow").
if(TARGET velcache_follow)
  install(EXPORT velcacheFollowTargets
    NAMESPACE velcache::
    DESTINATION ${VELCACHE_CMAKE_DIR}
    COMPONENT follow)
endif()
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
