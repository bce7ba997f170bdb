# The IPC contract's requests and peers, the local service endpoint that stands in for the
# system's service machinery, and the client the front end uses.
target_sources(guardian_core PRIVATE
  Service/xpc_wire.cpp
  Shared/wake_ipc_reply.cpp
  Shared/wake_helper_client.cpp
)
if(NOT APPLE)
  target_sources(guardian_core PRIVATE
    Service/xpc_socket_linux.cpp
    Service/xpc_listener_linux.cpp
    Service/xpc_server_connection_linux.cpp
    Service/xpc_client_connection_linux.cpp
  )
endif()
target_link_libraries(guardian_core PUBLIC Threads::Threads)

add_area_tests(guardian_service_tests LABEL guardian-daemon
  SOURCES
    Shared/wake_ipc_contract_test.cpp
    Shared/wake_ipc_reply_test.cpp
    Service/xpc_wire_test.cpp
  LIBS guardian_core Threads::Threads)
if(NOT APPLE)
  target_sources(guardian_service_tests PRIVATE
    Service/xpc_endpoint_linux_test.cpp
    Shared/wake_helper_client_test.cpp
  )
endif()
