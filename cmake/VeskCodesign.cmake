# Code signing of the helper executables on macOS: each is signed after it is linked,
# for the hardened runtime, with the entitlements in macos/vesk.entitlements. The
# identity is ad-hoc ("-") unless VESK_CODESIGN_IDENTITY names a real one, for
# example a "Developer ID Application" certificate in the keychain.
set(VESK_CODESIGN_IDENTITY "-" CACHE STRING "codesign identity for the helpers; \"-\" signs ad hoc")
set(VESK_ENTITLEMENTS "${PROJECT_SOURCE_DIR}/macos/vesk.entitlements" CACHE FILEPATH
    "entitlements the helpers are signed with")
find_program(VESK_CODESIGN codesign REQUIRED)

# Signs `target` whenever it has been linked anew. The signing runs as a command of
# its own (not a post-build step) so that targets of any directory can be signed.
function(vesk_codesign target)
  set(options --force --sign "${VESK_CODESIGN_IDENTITY}" --options runtime --entitlements "${VESK_ENTITLEMENTS}")
  if(NOT VESK_CODESIGN_IDENTITY STREQUAL "-")
    list(APPEND options --timestamp)  # a secure timestamp, needed for notarization
  endif()
  set(stampDir "${CMAKE_BINARY_DIR}/CMakeFiles/codesign")
  file(MAKE_DIRECTORY "${stampDir}")
  set(stamp "${stampDir}/${target}.signed")
  # Rewritten only when the identity changes, which then signs again.
  file(CONFIGURE OUTPUT "${stampDir}/identity" CONTENT "${VESK_CODESIGN_IDENTITY}\n")
  add_custom_command(
    OUTPUT "${stamp}"
    COMMAND "${VESK_CODESIGN}" ${options} "$<TARGET_FILE:${target}>"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${target} "${VESK_ENTITLEMENTS}" "${stampDir}/identity"
    COMMENT "Signing ${target} for the hardened runtime"
    VERBATIM)
  add_custom_target(${target}-codesign ALL DEPENDS "${stamp}")
endfunction()
