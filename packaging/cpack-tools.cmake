# Read by cpack before it builds the packages: the tools that compute the
# package's Depends: from its binaries must be there, and every program must
# have been built (scripts/package.sh installs what both need).
if(CPACK_SF_NOT_BUILT)
  string(REPLACE ";" "; " not_built "${CPACK_SF_NOT_BUILT}")
  message(FATAL_ERROR "not built, so not packaged: ${not_built}")
endif()
foreach(tool_package IN ITEMS dpkg-shlibdeps:dpkg-dev file:file)
  string(REPLACE ":" ";" pair ${tool_package})
  list(GET pair 0 tool)
  list(GET pair 1 package)
  find_program(sf_found_${tool} ${tool})
  if(NOT sf_found_${tool})
    message(FATAL_ERROR "${tool} not found (Debian: ${package}): without it the package's Depends: "
                        "cannot be computed from its binaries")
  endif()
endforeach()
