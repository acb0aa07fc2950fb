# How an installed library is found: the Lua module link, the pkg-config file and the CMake
# package. Included by the top-level CMakeLists.txt once the library target exists.
include(CMakePackageConfigHelpers)

get_target_property(soversion nelko_api_stream_layout SOVERSION)
set(NELKO_LIBRARY_SONAME libnelko_api_stream_layout.so.${soversion})
# Empty follows CMAKE_INSTALL_LIBDIR, also when that changes later: <libdir>/lua/5.1 is on the
# default package.cpath of Debian's lua5.1 and luajit for the prefixes /usr and /usr/local.
set(NELKO_LUA_CMODULE_DIR "" CACHE STRING
  "Where the Lua module link is installed, relative to the prefix (default <libdir>/lua/5.1)")
set(NELKO_INSTALL_LUA_CMODULE_DIR ${NELKO_LUA_CMODULE_DIR})
if(NOT NELKO_INSTALL_LUA_CMODULE_DIR)
  set(NELKO_INSTALL_LUA_CMODULE_DIR ${CMAKE_INSTALL_LIBDIR}/lua/5.1)
endif()
set(NELKO_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nelko_api_stream_layout)
set(generated ${PROJECT_BINARY_DIR}/installed_package)

# `require "nelko_api_stream_layout"` opens nelko_api_stream_layout.so on package.cpath: a relative
# link to the library's SONAME file, so that it survives DESTDIR and a moved prefix and needs
# nothing from the development component.
file(RELATIVE_PATH lua_link_target /${NELKO_INSTALL_LUA_CMODULE_DIR}
  /${CMAKE_INSTALL_LIBDIR}/${NELKO_LIBRARY_SONAME})
# The loader takes $ORIGIN from the path it opened, the link's directory: the library also looks
# in its own directory as seen from there.
get_filename_component(lua_link_to_libdir ${lua_link_target} DIRECTORY)
set_property(TARGET nelko_api_stream_layout APPEND PROPERTY INSTALL_RPATH
  "$ORIGIN/${lua_link_to_libdir}")
file(MAKE_DIRECTORY ${generated}/lua)
file(CREATE_LINK ${lua_link_target} ${generated}/lua/nelko_api_stream_layout.so SYMBOLIC)
install(FILES ${generated}/lua/nelko_api_stream_layout.so
  DESTINATION ${NELKO_INSTALL_LUA_CMODULE_DIR} COMPONENT runtime)

# pkg-config. The prefix is written when installing, so that `cmake --install --prefix` is right;
# everything else now. The platform's core is named only when it lies outside the compiler's
# own directories, as seen from the sysroot (pkg-config adds PKG_CONFIG_SYSROOT_DIR again).
function(nelko_pc_flag out flag dir implicit_dirs)
  set(${out} "" PARENT_SCOPE)
  if(NOT dir IN_LIST implicit_dirs)
    if(CMAKE_SYSROOT)
      string(FIND "${dir}" "${CMAKE_SYSROOT}/" at)
      if(at EQUAL 0)
        string(LENGTH "${CMAKE_SYSROOT}" length)
        string(SUBSTRING "${dir}" ${length} -1 dir)
      endif()
    endif()
    set(${out} " ${flag}${dir}" PARENT_SCOPE)
  endif()
endfunction()
set(NELKO_PC_CORE_CFLAGS "")
set(NELKO_PC_CORE_LIBS "")
if(NOT NELKO_BUILD_STANDINS)
  get_filename_component(core_library_dir ${NELKO_CORE_LIBRARY} DIRECTORY)
  nelko_pc_flag(NELKO_PC_CORE_CFLAGS -I ${NELKO_CORE_INCLUDE_DIR}
    "${CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES}")
  nelko_pc_flag(NELKO_PC_CORE_LIBS -L ${core_library_dir} "${CMAKE_C_IMPLICIT_LINK_DIRECTORIES}")
endif()
set(NELKO_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
set(NELKO_PC_RPATH "@NELKO_PC_RPATH@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/nelko_api_stream_layout.pc.in
  ${generated}/nelko_api_stream_layout.pc.in @ONLY)
# A libdir outside the linker's own directories gets a runpath in Libs, so that a client linked
# with the pkg-config line alone also runs; the library finds its own dependencies beside itself.
set(system_libdirs ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
foreach(dir ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
  nelko_pc_flag(flag "" ${dir} "")
  string(STRIP "${flag}" dir)
  list(APPEND system_libdirs ${dir})
endforeach()
string(CONFIGURE [[
  set(system_libdirs "@system_libdirs@")
  set(NELKO_PC_RPATH "")
  list(FIND system_libdirs "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_LIBDIR@" at)
  if(at EQUAL -1)
    set(NELKO_PC_RPATH " -Wl,-rpath,\${libdir}")
  endif()
  configure_file("@generated@/nelko_api_stream_layout.pc.in"
                 "@generated@/nelko_api_stream_layout.pc" @ONLY)
]] configure_pc @ONLY)
install(CODE "${configure_pc}" COMPONENT development)
install(FILES ${generated}/nelko_api_stream_layout.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The CMake package. Its imported target is written by hand rather than exported: the stand-ins'
# targets carry the build's own JSON library and cannot be exported, and on the device the core
# and interfaces libraries are the platform's, found where the package is used.
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nelko_api_stream_layoutConfig.cmake.in
  ${generated}/nelko_api_stream_layoutConfig.cmake
  INSTALL_DESTINATION ${NELKO_CMAKE_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
# Before 1.0 every minor version may change the ABI (README, "Versions and the ABI"): a request
# for 0.9 accepts 0.9.x only.
write_basic_package_version_file(${generated}/nelko_api_stream_layoutConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${generated}/nelko_api_stream_layoutConfig.cmake
  ${generated}/nelko_api_stream_layoutConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/Findnelko_platform.cmake
  DESTINATION ${NELKO_CMAKE_PACKAGE_DIR} COMPONENT development)
