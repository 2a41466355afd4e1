include("${CMAKE_CURRENT_LIST_DIR}/sfsourceTargets.cmake")
