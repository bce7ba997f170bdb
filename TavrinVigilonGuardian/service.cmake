# The IPC contract's requests and peers, the local service endpoint that stands in for the
# system's service machinery, and the client the front end uses.
target_sources(guardian_core PRIVATE
)

add_area_tests(guardian_service_tests LABEL guardian-daemon
  SOURCES
    Shared/wake_ipc_contract_test.cpp
  LIBS guardian_core Threads::Threads)
