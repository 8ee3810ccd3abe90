# How a host becomes a macOS program the system recognises: the information property list is
# embedded in the executable itself (there is no .app bundle around a child process), and the
# entitlements are handed to codesign. Every platform records the two files on the target, so a
# packaging step can find them; only the macos platform embeds and signs.
#
#   orvix_package_program(<target> INFO_PLIST <file> [ENTITLEMENTS <file>])
#
# ORVIX_CODESIGN_IDENTITY names the signing identity ("-" signs ad hoc); when it is empty the
# executable is left unsigned, as a developer's own build usually is.
set(ORVIX_CODESIGN_IDENTITY "" CACHE STRING "codesign identity for the macOS programs (empty: unsigned)")

function(orvix_package_program target)
  cmake_parse_arguments(ARG "" "INFO_PLIST;ENTITLEMENTS" "" ${ARGN})
  if(NOT ARG_INFO_PLIST)
    message(FATAL_ERROR "orvix_package_program(${target}): INFO_PLIST is required")
  endif()
  get_filename_component(plist "${ARG_INFO_PLIST}" ABSOLUTE)
  set_target_properties(${target} PROPERTIES ORVIX_INFO_PLIST "${plist}")
  if(ARG_ENTITLEMENTS)
    get_filename_component(entitlements "${ARG_ENTITLEMENTS}" ABSOLUTE)
    set_target_properties(${target} PROPERTIES ORVIX_ENTITLEMENTS "${entitlements}")
  endif()

  if(NOT ORVIX_PLATFORM STREQUAL "macos")
    return()
  endif()
  # The system reads a bare executable's property list from this section: it names the bundle
  # identifier the permission prompts and privacy settings are keyed by.
  target_link_options(${target} PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${plist}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${plist}")
  if(ORVIX_CODESIGN_IDENTITY)
    set(entitlement_arguments "")
    if(ARG_ENTITLEMENTS)
      set(entitlement_arguments --entitlements "${entitlements}")
    endif()
    # The hardened runtime is what notarisation requires; the entitlements open what it closes.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND codesign --force --options runtime ${entitlement_arguments}
              --sign "${ORVIX_CODESIGN_IDENTITY}" "$<TARGET_FILE:${target}>"
      VERBATIM)
  endif()
endfunction()
