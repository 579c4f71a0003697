# Install rules: `cmake --install BUILD [--prefix P] [--component C]`, with
# DESTDIR honoured, stages the daemon the way a router's root filesystem
# expects it (sbin), plus, behind the options below, the parts of the
# stand-in framework that are of use outside the test suite.
#
#   what                                   where                    option (default)
#   ipsecVpn                               sbin                     always
#   ipsecVpn.8                             share/man/man8           IPSEC_INSTALL_MANPAGES (ON)
#   zorctl, zorctl.8                       sbin, share/man/man8     IPSEC_INSTALL_ZORCTL (ON with the stand-in)
#   setkey stand-in, setkey.8              sbin, share/man/man8     IPSEC_INSTALL_SETKEY (OFF)
#   libzor_standin, zor.h                  lib, include             IPSEC_INSTALL_FRAMEWORK_LIB (OFF)
#
# A firmware build that links the router's own framework
# (IPSEC_FRAMEWORK=external) has no stand-in targets and installs the daemon
# and its manual page alone. The racoon stand-in only plays the key daemon
# for the tests and is never installed. The setkey stand-in is installed only
# when asked for: sbin/setkey is the place of the IPsec tools' own setkey
# (scripts/ipsec-tools.sh builds it), which an install must not overwrite.
#
# Every rule is guarded by if(TARGET ...), so the rules hold whatever parts of
# the tree are built.

include(GNUInstallDirs)

if(IPSEC_FRAMEWORK STREQUAL "standin")
  set(ipsec_standin_default ON)
else()
  set(ipsec_standin_default OFF)
endif()
option(IPSEC_INSTALL_MANPAGES "Install the manual pages" ON)
option(IPSEC_INSTALL_ZORCTL "Install zorctl, the stand-in framework's command-line tool" ${ipsec_standin_default})
option(IPSEC_INSTALL_SETKEY "Install the setkey stand-in (applies setkey files through ip xfrm) into sbin" OFF)
option(IPSEC_INSTALL_FRAMEWORK_LIB "Install the stand-in framework library and its header" OFF)

set(ipsec_man8 ${CMAKE_INSTALL_MANDIR}/man8)

# ipsec_install_tool(TARGET PAGE COMPONENT): an executable into sbin and its
# manual page beside the others.
function(ipsec_install_tool target page component)
  if(NOT TARGET ${target})
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT ${component})
  if(IPSEC_INSTALL_MANPAGES)
    install(FILES ${CMAKE_SOURCE_DIR}/man/${page} DESTINATION ${ipsec_man8} COMPONENT ${component})
  endif()
endfunction()

ipsec_install_tool(ipsecVpn ipsecVpn.8 daemon)

if(TARGET zor_standin)
  get_target_property(ipsec_zor_type zor_standin TYPE)
  # A shared stand-in is needed at run time by everything linked against it.
  if(IPSEC_INSTALL_FRAMEWORK_LIB OR ipsec_zor_type STREQUAL "SHARED_LIBRARY")
    install(TARGETS zor_standin
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standin
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standin)
  endif()
  if(IPSEC_INSTALL_FRAMEWORK_LIB)
    install(FILES ${CMAKE_SOURCE_DIR}/ipsecVpn/framework/zor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
            COMPONENT standin)
  endif()
endif()

if(IPSEC_INSTALL_ZORCTL)
  ipsec_install_tool(zorctl zorctl.8 standin)
endif()
if(IPSEC_INSTALL_SETKEY)
  ipsec_install_tool(setkey setkey.8 standin)
endif()
