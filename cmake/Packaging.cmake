# Debian packages (CPack, DEB generator), one per install component of cmake/Install.cmake:
#
#   runtime      libvelcache0      the shared libraries (section libs)
#   development  libvelcache-dev   headers, CMake package, pkg-config file, .so links (libdevel)
#   tool         velcache          the operator's command-line tool (utils)
#   follow       velcache-follow   the PostgreSQL commit-log follower: libvelcachefollow, its
#                                  header, .so link and CMake targets, velcache-follow (database)
#
# The tool has a package of its own: a library package must hold nothing that would clash
# with its successor's (libvelcache1 beside libvelcache0 after an ABI change), and a host that
# links the library needs no tool. The follower is one package, library and command together:
# it is what brings in libpq, which no other package needs. Runtime dependencies on Debian
# packages come from dpkg-shlibdeps over the packaged binaries; the -dev package adds the -dev
# packages its headers include (Qt 5 Core, Boost). Configure with CMAKE_INSTALL_PREFIX=/usr
# (GNUInstallDirs then picks the multiarch library directory), build velcache_cli and
# velcache_follow_tool, then run cpack in the build directory; scripts/check-package does all
# of it.
set(VELCACHE_MAINTAINER "velcache maintainers <maintainers@velcache.example>")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "velcache: Debian packages want CMAKE_INSTALL_PREFIX=/usr "
                 "(now ${CMAKE_INSTALL_PREFIX}); scripts/check-package configures one")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velcache)
set(CPACK_PACKAGE_VENDOR "The velcache authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELCACHE_MAINTAINER}")
# Each package's synopsis is the first line of its component's description below; a summary
# here would be put above it in every package.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET velcache_cli)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
if(TARGET velcache_follow)
  list(APPEND CPACK_COMPONENTS_ALL follow)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The project's own version, without a Debian revision: the packages are made from these
# sources by this build (a native package).
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SOURCE velcache)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELCACHE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool's and the follower's packages need the libraries of libvelcache0, which no installed
# package holds yet, and velcache-follow its own package's library: dpkg-shlibdeps finds them in
# the build tree (the dependency on libvelcache0 itself is the component's).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/main ${PROJECT_BINARY_DIR}/platform ${PROJECT_BINARY_DIR}/main/follow)
# A shlibs file for libvelcache0: before 1.0 each minor version has its own soname, so a
# binary built against 0.1.x needs a 0.1 library of at least its own version.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelcache0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig runs through dpkg's trigger once per installation, as Debian's library packages do.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
# Control files 0644 whatever the checkout's umask made of the source file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvelcache-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# What the installed headers include (QString, boost/any.hpp) and what velcacheConfig.cmake and
# velcache.pc ask for.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qtbase5-dev, libboost-dev")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME velcache)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FOLLOW_PACKAGE_NAME velcache-follow)
set(CPACK_DEBIAN_FOLLOW_PACKAGE_SECTION database)
# It holds a shared library too: the same ldconfig trigger as libvelcache0's.
set(CPACK_DEBIAN_FOLLOW_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
# Its CMake targets are read through velcacheConfig.cmake, which libvelcache-dev holds; the
# command alone needs no development files.
set(CPACK_DEBIAN_FOLLOW_PACKAGE_SUGGESTS libvelcache-dev)

include(CPack)

cpack_add_component(runtime
  DISPLAY_NAME "velcache shared libraries"
  DESCRIPTION "caching library: in-memory caches, coherence, external caches
velcache gives a host process in-memory caches of reference-counted payloads
with pluggable eviction policies, cross-process coherence over Redis
publish/subscribe, cascade invalidation, external key/value caches on a local
directory or a Redis server, and a read-through cache that loads each key once.
This package holds the shared libraries libvelcache and libvelplatform.")
cpack_add_component(development
  DISPLAY_NAME "velcache development files"
  DESCRIPTION "caching library: in-memory caches, coherence (development files)
velcache gives a host process in-memory caches, cross-process coherence over
Redis publish/subscribe, external caches on disk or Redis and a read-through
cache. This package holds the headers, the CMake package
(find_package(velcache) gives velcache::velcache) and the pkg-config file."
  DEPENDS runtime)
if(TARGET velcache_cli)
  cpack_add_component(tool
    DISPLAY_NAME "velcache tool"
    DESCRIPTION "operator's tool for velcache caches and coherence
The velcache command reads, writes, lists and drops values of velcache's
external caches on a directory, a Redis server or a Redis cluster, watches the
coherence announcements of a namespace and publishes one."
    DEPENDS runtime)
endif()
if(TARGET velcache_follow)
  cpack_add_component(follow
    DISPLAY_NAME "velcache commit-log follower"
    DESCRIPTION "PostgreSQL commit-log follower for velcache
The follower reads the committed row changes of a PostgreSQL database through
logical replication (the built-in pgoutput plugin) and announces them as tag
invalidations to velcache processes over Redis, so that the caches also hear
of the writers that do not tell them.
This package holds the library libvelcachefollow, its header and the
velcache-follow command."
    DEPENDS runtime)
endif()

# /usr/share/doc/<package>/copyright and changelog.gz in every package. Installed only with
# their component (EXCLUDE_FROM_ALL), that is by CPack, never by a plain cmake --install.
set(VELCACHE_CHANGELOG_DATE "")
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md VELCACHE_RELEASE_LINE
     REGEX "^## \\[${PROJECT_VERSION}\\] - [0-9]+-[0-9]+-[0-9]+")
if(VELCACHE_RELEASE_LINE MATCHES "([0-9]+-[0-9]+-[0-9]+)")
  execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_1}"
                  OUTPUT_VARIABLE VELCACHE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE date_result)
  if(NOT date_result EQUAL 0)
    set(VELCACHE_CHANGELOG_DATE "")
  endif()
endif()
if(VELCACHE_CHANGELOG_DATE STREQUAL "")
  string(TIMESTAMP VELCACHE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
set(debian_dir ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${debian_dir}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${debian_dir}/changelog
                OUTPUT_FILE ${debian_dir}/changelog.gz RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "velcache: gzip could not compress ${debian_dir}/changelog")
endif()
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${debian_dir}/changelog.gz
          DESTINATION ${doc_dir} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# lintian: the one deliberate departure, said why in the file.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/libvelcache-dev.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libvelcache-dev
        COMPONENT development EXCLUDE_FROM_ALL)
