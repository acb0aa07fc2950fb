# find_package(nelko_platform): the platform's own core and interfaces libraries, as the imported
# targets nelko::core (libnelko-core and the directory of nelko_core.h) and nelko::interfaces
# (libnelko-interfaces). The build uses it when the stand-ins are off; the installed package
# configuration uses it to give its library the core it links against.
#
# Cache variables, to point at copies that the default search does not find:
#   NELKO_CORE_INCLUDE_DIR    the directory that holds nelko_core.h
#   NELKO_CORE_LIBRARY        libnelko-core.so
#   NELKO_INTERFACES_LIBRARY  libnelko-interfaces.so
# nelko_platform_HINTS (a list of directories) is searched first, as given: a package looks
# beside itself, where its stand-ins may be installed, also when that is outside a cross
# build's sysroot.

macro(_nelko_platform_find)
  find_path(NELKO_CORE_INCLUDE_DIR nelko_core.h DOC "Directory of nelko_core.h" ${ARGN})
  find_library(NELKO_CORE_LIBRARY nelko-core DOC "The platform's core library" ${ARGN})
  find_library(NELKO_INTERFACES_LIBRARY nelko-interfaces
    DOC "The platform's interfaces library" ${ARGN})
endmacro()
if(nelko_platform_HINTS)
  _nelko_platform_find(PATHS ${nelko_platform_HINTS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
_nelko_platform_find()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(nelko_platform
  REQUIRED_VARS NELKO_CORE_LIBRARY NELKO_CORE_INCLUDE_DIR NELKO_INTERFACES_LIBRARY)

if(nelko_platform_FOUND AND NOT TARGET nelko::core)
  add_library(nelko::core SHARED IMPORTED)
  set_target_properties(nelko::core PROPERTIES
    IMPORTED_LOCATION "${NELKO_CORE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${NELKO_CORE_INCLUDE_DIR}")
endif()
if(nelko_platform_FOUND AND NOT TARGET nelko::interfaces)
  add_library(nelko::interfaces SHARED IMPORTED)
  set_target_properties(nelko::interfaces PROPERTIES
    IMPORTED_LOCATION "${NELKO_INTERFACES_LIBRARY}")
endif()
