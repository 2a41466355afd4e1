# Read by cpack before it builds the packages: the tools that compute the
# package's Depends: from its binaries must be there (scripts/package.sh
# installs them).
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
