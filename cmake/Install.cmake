# The installed layout: the fixed paths the front end, launchd and the guardian itself rely on.
# `cmake --install build` writes them under / (as root); `--prefix DIR` stages the same tree
# under DIR. The programs are installed stripped; their debug information is kept apart, in the
# build tree's debug-info/ folder, for reading crash reports. On a Mac, sign the installed
# programs afterwards: stripping changes their code, and so its hash.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Root of the installed tree" FORCE)
endif()

set(helper_tools Library/PrivilegedHelperTools)
install(PROGRAMS $<TARGET_FILE:Airvane> DESTINATION ${helper_tools})
install(PROGRAMS $<TARGET_FILE:guardian> DESTINATION ${helper_tools} RENAME app.tavrin.vigilon.guardian)
install(FILES ${PROJECT_SOURCE_DIR}/TavrinVigilonGuardian/app.tavrin.vigilon.guardian.plist
        DESTINATION Library/LaunchDaemons PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(program Airvane guardian)
  set(installed_name ${program})
  if(program STREQUAL "guardian")
    set(installed_name app.tavrin.vigilon.guardian)
  endif()
  install(CODE "
    set(built \"$<TARGET_FILE:${program}>\")
    set(installed \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${helper_tools}/${installed_name}\")
    set(debug_info \"${CMAKE_BINARY_DIR}/debug-info\")
    set(apple ${APPLE})
    set(objcopy \"${CMAKE_OBJCOPY}\")
    set(strip \"${CMAKE_STRIP}\")
    set(dsymutil \"${CMAKE_DSYMUTIL}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/strip_installed.cmake\")
  ")
endforeach()
