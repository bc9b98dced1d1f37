# Makes dhcpanvil-helper what the package's postinst makes it: owned by root and the system group
# dhcpanvil (created when missing), mode 0750 so that only that group's members can start it, and
# allowed to bind ports 67 and 69 and to open the packet socket that watches a bench card's cable.
# Makes sure no other program keeps a capability from an earlier install: a Qt program loads plug-ins chosen by whoever starts it, so DHCPAnvilApp must never run with one.
# Without root this only warns with the commands to run. Into a staging folder (DESTDIR, as the
# package build does) the ownership is left to the package's postinst.
find_program(SETCAP setcap PATHS /usr/sbin /sbin)
find_program(GETCAP getcap PATHS /usr/sbin /sbin)
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(helper "${root}/${ANVIL_INSTALL_LIBEXECDIR}/dhcpanvil/dhcpanvil-helper")

foreach(program IN ITEMS DHCPAnvilApp dhcpanvil)
  set(path "${root}/${ANVIL_INSTALL_BINDIR}/${program}")
  if(EXISTS "${path}" AND GETCAP AND SETCAP)
    execute_process(COMMAND ${GETCAP} "${path}" OUTPUT_VARIABLE granted ERROR_QUIET)
    if(NOT granted STREQUAL "")
      execute_process(COMMAND ${SETCAP} -r "${path}" RESULT_VARIABLE status ERROR_QUIET)
      if(status EQUAL 0)
        message(STATUS "Removed the capabilities of an earlier install from ${path}")
      else()
        message(WARNING "${path} still carries capabilities; run as root: setcap -r ${path}")
      endif()
    endif()
  endif()
endforeach()

set(group dhcpanvil)
string(CONCAT commands "groupadd -r ${group}; chown root:${group} ${helper}; chmod 0750 ${helper}; "
                      "setcap cap_net_bind_service,cap_net_raw+ep ${helper}")
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "Staged into DESTDIR: the package's postinst sets the group, mode and capability of ${helper}")
  return()
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT uid STREQUAL "0")
  message(WARNING "Installed without root: dhcpanvil-helper cannot serve anyone yet. Run as root: ${commands}; "
                  "then add each bench user to the group: sudo usermod -aG ${group} \"$USER\" (and log in again)")
  return()
endif()

execute_process(COMMAND getent group ${group} RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
if(NOT missing EQUAL 0)
  find_program(GROUPADD groupadd PATHS /usr/sbin /sbin)
  execute_process(COMMAND ${GROUPADD} -r ${group} RESULT_VARIABLE status ERROR_VARIABLE error)
  if(status EQUAL 0)
    message(STATUS "Created the system group ${group}")
  else()
    message(WARNING "Could not create the group ${group} (${error}); run as root: ${commands}")
    return()
  endif()
endif()
# chown drops file capabilities, so it comes before setcap.
execute_process(COMMAND chown root:${group} "${helper}" RESULT_VARIABLE owned)
execute_process(COMMAND chmod 0750 "${helper}" RESULT_VARIABLE moded)
if(NOT owned EQUAL 0 OR NOT moded EQUAL 0)
  message(WARNING "Could not make ${helper} root:${group} 0750; run as root: ${commands}")
  return()
endif()
message(STATUS "${helper} is root:${group} 0750; add bench users with: sudo usermod -aG ${group} \"$USER\"")

if(NOT SETCAP)
  message(WARNING "setcap not found: run as root: setcap cap_net_bind_service,cap_net_raw+ep ${helper}")
  return()
endif()
execute_process(COMMAND ${SETCAP} cap_net_bind_service,cap_net_raw+ep "${helper}" RESULT_VARIABLE status
                ERROR_VARIABLE error)
if(status EQUAL 0)
  message(STATUS "Granted cap_net_bind_service and cap_net_raw to ${helper}")
else()
  string(STRIP "${error}" error)
  message(WARNING "Could not grant cap_net_bind_service and cap_net_raw to ${helper} (${error}); run as root: "
                  "setcap cap_net_bind_service,cap_net_raw+ep ${helper}")
endif()
