# What Debian keeps in /usr/share/doc/PACKAGE: the copyright and the changelog,
# compressed without a timestamp, so that builds are reproducible.
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
sf_gzip(${CMAKE_CURRENT_SOURCE_DIR}/changelog ${changelog})
add_custom_target(debian_changelog ALL DEPENDS ${changelog})
foreach(package IN ITEMS sflogger libsfsource-dev)
  set(component programs)
  if(package STREQUAL libsfsource-dev)
    set(component dev)
  endif()
  install(FILES copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
install(FILES example.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sflogger/examples RENAME gw1.conf
  COMPONENT programs)
install(FILES sfcollect.conf mosquitto-central.conf mosquitto-central.acl prometheus.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sflogger/examples COMPONENT programs)
install(FILES prometheus-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sflogger/examples
  RENAME sflogger-alerts.yml COMPONENT programs)
# A log for sfreplay to serve where a forwarder is wanted for a try.
install(FILES ${PROJECT_SOURCE_DIR}/examples/sample.log DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sflogger/examples
  COMPONENT programs)
