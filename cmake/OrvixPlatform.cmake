# ORVIX_PLATFORM: the one switch that chooses which operating system's bindings the build uses.
#
# Every platform area (desktop, bluetooth, audio, time, system, serial) has its implementation
# under native-hosts/platform/<platform>/<area>/, built by platform/<platform>/CMakeLists.txt as
# the target orvix_machine_<area>. Programs and libraries link only those neutral targets, so
# this switch is the only place a platform is named.
set(orvix_platforms linux macos)
set(ORVIX_PLATFORM_AREAS desktop bluetooth audio time system serial)
if(APPLE)
  set(orvix_default_platform macos)
else()
  set(orvix_default_platform linux)
endif()
set(ORVIX_PLATFORM "${orvix_default_platform}"
    CACHE STRING "Platform whose bindings the programs use: linux or macos")
set_property(CACHE ORVIX_PLATFORM PROPERTY STRINGS ${orvix_platforms})
if(NOT ORVIX_PLATFORM IN_LIST orvix_platforms)
  list(JOIN orvix_platforms ", " orvix_platform_choices)
  message(FATAL_ERROR
    "ORVIX_PLATFORM is \"${ORVIX_PLATFORM}\"; it must be one of: ${orvix_platform_choices}. "
    "Each names a directory of bindings under native-hosts/platform/.")
endif()
message(STATUS "Platform bindings: ${ORVIX_PLATFORM}")

# orvix_add_machine_program(<name> AREAS <area>... SOURCES ... LIBS ...
#                           [INFO_PLIST <file>] [ENTITLEMENTS <file>])
# A deliverable that runs on the machine's own bindings in the given areas (it links
# orvix_machine_<area> for each), packaged with its property list and entitlements
# (orvix_package_program). Where the chosen platform has no binding yet for one of them,
# the program is left out and CMake says so; its libraries still build, and so do its unit tests.
function(orvix_add_machine_program name)
  cmake_parse_arguments(ARG "" "INFO_PLIST;ENTITLEMENTS" "AREAS;SOURCES;LIBS" ${ARGN})
  set(missing)
  set(machine_libs)
  foreach(area IN LISTS ARG_AREAS)
    if(TARGET orvix_machine_${area})
      list(APPEND machine_libs orvix_machine_${area})
    else()
      list(APPEND missing ${area})
    endif()
  endforeach()
  if(missing)
    list(JOIN missing ", " missing_text)
    message(STATUS "${name} is not built: ORVIX_PLATFORM=${ORVIX_PLATFORM} has no binding yet "
                   "for ${missing_text}")
    return()
  endif()
  orvix_add_program(${name} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS} ${machine_libs})
  if(ARG_INFO_PLIST)
    set(entitlements)
    if(ARG_ENTITLEMENTS)
      set(entitlements ENTITLEMENTS "${ARG_ENTITLEMENTS}")
    endif()
    orvix_package_program(${name} INFO_PLIST "${ARG_INFO_PLIST}" ${entitlements})
  endif()
endfunction()
