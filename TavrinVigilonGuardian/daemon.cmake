# The guardian program: the control service, the daemon's start-up and serial queue, the
# command line. Everything but main() sits in a library so the tests can reach it.
add_library(guardian_program STATIC
  install_lock.cpp
  control.cpp
  listener_delegate.cpp
  power_queue.cpp
  watch.cpp
  command_line.cpp
)
if(NOT APPLE)
  target_sources(guardian_program PRIVATE main_run_loop_linux.cpp)
endif()
target_include_directories(guardian_program PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(guardian_program PUBLIC guardian_core Threads::Threads)

add_executable(guardian main.cpp)
target_link_libraries(guardian PRIVATE guardian_program)
# The C++ runtime linked in: the daemon then keeps only what it uses resident.
target_link_options(guardian PRIVATE -static-libstdc++ -static-libgcc -Wl,-z,pack-relative-relocs -Wl,--gc-sections)

add_area_tests(guardian_daemon_tests LABEL guardian-daemon
  SOURCES
    install_lock_test.cpp
    power_queue_test.cpp
    command_line_test.cpp
  LIBS guardian_program Threads::Threads)
if(NOT APPLE)
  target_sources(guardian_daemon_tests PRIVATE control_linux_test.cpp watch_linux_test.cpp)
endif()
