# The watcher (watch tick, launch recovery, readiness), the installation record, the program's
# own code identity and registration.
target_sources(guardian_core PRIVATE
  launch_control.cpp
  ensure_watcher.cpp
  watch_tick.cpp
  launch_recovery.cpp
  registration.cpp
  Shared/wake_helper_installation.cpp
)
if(NOT APPLE)
  target_sources(guardian_core PRIVATE Shared/wake_code_identity_linux.cpp)
endif()

add_area_tests(guardian_watcher_tests LABEL guardian-watcher
  SOURCES
    watch_tick_test.cpp
    launch_recovery_test.cpp
    ensure_watcher_test.cpp
    registration_test.cpp
    Shared/wake_helper_installation_test.cpp
    Shared/wake_code_identity_linux_test.cpp
  LIBS guardian_core)
