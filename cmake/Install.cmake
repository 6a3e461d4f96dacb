# Install rules of the Debian package (scripts/package stages them with
# "cmake --install BUILD --prefix /usr" into a package tree).
#
#   /usr/sbin/vantro-gateway                 the daemon
#   /usr/bin/vantro-hat-sim                  the simulated board
#   /lib/systemd/system/vantro-gateway.service
#   /etc/vantro/gateway.conf                 the default configuration (a conffile)
#   /usr/share/doc/vantro-gateway/           docs/*.md
#   /usr/share/man/man8, man1                the man pages
#
# The project's own libraries are static: the executables carry what they use
# of them, and only the system's shared libraries are loaded.
include(GNUInstallDirs)

set(VANTRO_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantro-gateway)

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
