# Install rules of the Debian package (scripts/package stages them with
# "cmake --install BUILD --prefix /usr" into a package tree).
#
#   /usr/sbin/vantro-gateway                 the daemon
#   /usr/bin/vantro-hat-sim                  the simulated board
#   /usr/lib/vantro/lib*.so.N                the project's own shared libraries
#   /lib/systemd/system/vantro-gateway.service
#   /etc/vantro/gateway.conf                 the default configuration (a conffile)
#   /usr/share/doc/vantro-gateway/           docs/*.md
#   /usr/share/man/man8, man1                the man pages
#
# The executables find the libraries through RUNPATH $ORIGIN/../lib/vantro;
# the libraries find each other through $ORIGIN (a RUNPATH serves only the
# object that carries it, not the libraries it loads).
include(GNUInstallDirs)

set(VANTRO_PRIVATE_LIBDIR lib/vantro)
set(VANTRO_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantro-gateway)

get_property(vantro_top_targets DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
set(vantro_shared_libs)
foreach(t IN LISTS vantro_top_targets)
  get_target_property(type ${t} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    list(APPEND vantro_shared_libs ${t})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endforeach()

install(TARGETS ${vantro_shared_libs}
  LIBRARY DESTINATION ${VANTRO_PRIVATE_LIBDIR} NAMELINK_SKIP COMPONENT gateway)
install(TARGETS vantro-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT gateway)
if(TARGET vantro-hat-sim)
  install(TARGETS vantro-hat-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gateway)
endif()

# Debian 12 keeps units in /lib/systemd/system (lintian asks for it there).
install(FILES packaging/vantro-gateway.service DESTINATION /lib/systemd/system COMPONENT gateway)
# The default configuration; an absolute path so that it lands in /etc with
# the /usr prefix.
install(FILES packaging/gateway.conf DESTINATION /etc/vantro COMPONENT gateway)

file(GLOB vantro_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${vantro_docs} DESTINATION ${VANTRO_DOCDIR} COMPONENT gateway)
install(FILES packaging/copyright DESTINATION ${VANTRO_DOCDIR} COMPONENT gateway)
install(FILES packaging/vantro-gateway.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT gateway)
install(FILES packaging/vantro-hat-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT gateway)
