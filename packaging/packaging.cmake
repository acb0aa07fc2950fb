# Debian packages, one per install component, made with `cpack -G DEB` (scripts/package builds,
# packs and lints them). Included by the top-level CMakeLists.txt after every install rule.
#
#   libnelko-api-stream-layout0     runtime      the library and the Lua module link
#   libnelko-api-stream-layout-dev  development  header, link, .pc and CMake package
#   nelko-stream-layout-tools       tools        stream-layout, stream-layout-target, man pages
#   nelko-platform-standins         standins     stand-ins of the platform's core and interfaces
#                                                libraries, replaced by the platform's own packages
#
# Depends are written out rather than computed with dpkg-shlibdeps: a cross build's sysroot has no
# dpkg database to compute them from. The minimum versions are those of Debian 12, which both the
# host and the device build against.
if(NOT NELKO_BUILD_STANDINS)
  return()  # the packages depend on the stand-ins' package names
endif()

set(NELKO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Debian's name of the architecture the build is for (armhf for the device), not of the host.
find_program(NELKO_DPKG_ARCHITECTURE dpkg-architecture)
if(NELKO_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND ${NELKO_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE}
                          -qDEB_HOST_ARCH
    OUTPUT_VARIABLE NELKO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(NELKO_DEB_PACKAGES runtime libnelko-api-stream-layout0 development
  libnelko-api-stream-layout-dev tools nelko-stream-layout-tools standins nelko-platform-standins)
set(generated ${PROJECT_BINARY_DIR}/packaging)
if(NELKO_PACKAGING)
  # packaging/changelog is the Debian form of CHANGELOG.md's headings: one entry for each version.
  file(STRINGS ${NELKO_PACKAGING_DIR}/changelog changelog_head LIMIT_COUNT 1)
  if(NOT changelog_head MATCHES "^nelko-stream-layout \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog does not begin with version ${PROJECT_VERSION}")
  endif()
  add_custom_command(OUTPUT ${generated}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
    COMMAND gzip -9n -c ${NELKO_PACKAGING_DIR}/changelog > ${generated}/changelog.gz
    DEPENDS ${NELKO_PACKAGING_DIR}/changelog VERBATIM)
  add_custom_target(nelko_deb_changelog ALL DEPENDS ${generated}/changelog.gz)
endif()
while(NELKO_DEB_PACKAGES)
  list(POP_FRONT NELKO_DEB_PACKAGES component package)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  # With NELKO_PACKAGING (scripts/package) every package carries the same copyright file, with
  # the third-party notices, and the changelog; the plain install leaves them out.
  if(NELKO_PACKAGING)
    install(FILES ${NELKO_PACKAGING_DIR}/copyright ${generated}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    if(EXISTS ${NELKO_PACKAGING_DIR}/lintian/${package})
      install(FILES ${NELKO_PACKAGING_DIR}/lintian/${package}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
    endif()
  endif()
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nelko-stream-layout)
set(CPACK_PACKAGE_VENDOR "libnelko_api_stream_layout authors")
set(CPACK_PACKAGE_CONTACT "libnelko_api_stream_layout authors <stream-layout@nelko.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools standins)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(NELKO_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NELKO_DEB_ARCH})
endif()
set(CPACK_STRIP_FILES ON)
# The library packages' control files: shlibs names the package that provides each SONAME (what
# dpkg-shlibdeps writes into the Depends of packages built against it), and the ldconfig trigger
# refreshes the loader's cache once per dpkg run instead of a maintainer script calling it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${generated}/runtime/shlibs
  "libnelko_api_stream_layout 0 libnelko-api-stream-layout0 (>= ${PROJECT_VERSION})\n")
file(WRITE ${generated}/standins/shlibs
  "libnelko-core 1 libnelko-core1 (>= 1.0)\nlibnelko-interfaces 1 libnelko-interfaces1 (>= 1.0)\n")
foreach(component runtime standins)
  file(WRITE ${generated}/${component}/triggers "activate-noawait ldconfig\n")
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_CONTROL_EXTRA
    ${generated}/${component}/shlibs ${generated}/${component}/triggers)
endforeach()
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(version "${PROJECT_VERSION}")
set(system_depends "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12)")
set(platform_depends "libnelko-core1 (>= 1.0), libnelko-interfaces1 (>= 1.0)")

# Descriptions: a synopsis line, then the long description (CPack indents it), under 80 columns.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "client library of the stream_layout service
libnelko_api_stream_layout is the C client library of the camera platform's
stream_layout service: it reads and replaces the layout of output streams,
reads and sets regions of interest and converts stream points into pan and
tilt. The same library is the Lua 5.1 module nelko_api_stream_layout for
lua5.1 and luajit.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "${system_depends}, liblua5.1-0 (>= 5.1.5), ${platform_depends}")

set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "client library of the stream_layout service - development files
The header, the link, the pkg-config file and the CMake package
(find_package) of libnelko_api_stream_layout, the C client library of the
camera platform's stream_layout service.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libnelko-api-stream-layout0 (= ${version}), libnelko-core-dev (>= 1.0)")

set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line client and simulated stream_layout service
stream-layout talks to a stream_layout service from the shell and draws
layouts as SVG; stream-layout-target is a simulated stream_layout service
(a camera model) for development and tests.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "${system_depends}, libnelko-api-stream-layout0 (= ${version}), ${platform_depends}")

set(CPACK_COMPONENT_STANDINS_DESCRIPTION "stand-ins of the platform's core and interfaces libraries
libnelko-core and libnelko-interfaces as the stream_layout client library's
own build provides them, with the core's headers, for systems without the
camera platform's packages. The platform's own libnelko-core1,
libnelko-interfaces1 and libnelko-core-dev packages replace this one.")
set(CPACK_DEBIAN_STANDINS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_STANDINS_PACKAGE_DEPENDS "${system_depends}")
set(CPACK_DEBIAN_STANDINS_PACKAGE_PROVIDES
  "libnelko-core1 (= 1.0.0), libnelko-interfaces1 (= 1.0.0), libnelko-core-dev (= 1.0.0)")
set(CPACK_DEBIAN_STANDINS_PACKAGE_CONFLICTS "libnelko-core1, libnelko-interfaces1, libnelko-core-dev")
set(CPACK_DEBIAN_STANDINS_PACKAGE_REPLACES "libnelko-core1, libnelko-interfaces1, libnelko-core-dev")

include(CPack)
