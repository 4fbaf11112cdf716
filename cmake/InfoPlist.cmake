# Makes the application bundle's Info.plist from src/app/Info.plist.in. The build
# includes this file and calls the function; the test runs the same function as a
# script: cmake -DOUTPUT=<file> -DIDENTIFIER=<id> -DVERSION=<x.y.z> -P InfoPlist.cmake

set(KESTRUNE_INFO_PLIST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../src/app/Info.plist.in)
# The bundle's executable: the app target's OUTPUT_NAME on macOS.
set(KESTRUNE_BUNDLE_EXECUTABLE Kestrune)

function(kestrune_write_info_plist output identifier version)
  # The values go into the XML unescaped, so only the characters they may hold pass.
  if(NOT identifier MATCHES "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$")
    message(FATAL_ERROR "The bundle identifier must be reverse-DNS (letters, digits, '-', '.'), got '${identifier}'")
  endif()
  if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)*$")
    message(FATAL_ERROR "The bundle version must be numbers joined by dots, got '${version}'")
  endif()
  set(KESTRUNE_BUNDLE_IDENTIFIER ${identifier})
  set(KESTRUNE_BUNDLE_VERSION ${version})
  configure_file(${KESTRUNE_INFO_PLIST_TEMPLATE} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  kestrune_write_info_plist("${OUTPUT}" "${IDENTIFIER}" "${VERSION}")
endif()
