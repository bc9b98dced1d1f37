# Lets a normal user serve on port 67 of one card: binding a port below 1024 needs
# cap_net_bind_service, and SO_BINDTODEVICE needs cap_net_raw. Without root this only warns.
foreach(program IN ITEMS DHCPAnvilApp dhcpanvil)
  set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/${program}")
  if(NOT EXISTS "${path}")
    continue()
  endif()
  find_program(SETCAP setcap PATHS /usr/sbin /sbin)
  if(NOT SETCAP)
    message(WARNING "setcap not found: ${program} needs root to serve on port 67")
    continue()
  endif()
  execute_process(COMMAND ${SETCAP} cap_net_bind_service,cap_net_raw+ep "${path}"
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(status EQUAL 0)
    message(STATUS "Granted cap_net_bind_service,cap_net_raw to ${path}")
  else()
    message(WARNING "Could not grant capabilities to ${path} (${error}); run as root: "
                    "setcap cap_net_bind_service,cap_net_raw+ep ${path}")
  endif()
endforeach()
