# The one version of the deliverables: the VERSION file (MAJOR.MINOR.BUILD), which the version
# resources carry and scripts/package.sh reads back from the built binaries.
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)
file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION QV_VERSION LIMIT_COUNT 1)
# Windows Installer compares the first three fields, each a number (the first two below 256).
if(NOT QV_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" OR CMAKE_MATCH_1 GREATER 255
   OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "VERSION holds '${QV_VERSION}', not MAJOR.MINOR.BUILD (at most 255.255.65535)")
endif()
set(QV_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QV_VERSION_MINOR ${CMAKE_MATCH_2})
set(QV_VERSION_BUILD ${CMAKE_MATCH_3})

# Gives TARGET a version resource: DESCRIPTION is what Explorer's file properties show.
function(qv_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(QV_FILE_TYPE VFT_APP)
    set(QV_ORIGINAL_FILENAME ${name}.exe)
  else()
    set(QV_FILE_TYPE VFT_DLL)
    set(QV_ORIGINAL_FILENAME ${name}.dll)
  endif()
  set(QV_INTERNAL_NAME ${name})
  set(QV_FILE_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
