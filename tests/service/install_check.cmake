# cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake: installs the build into PREFIX and
# checks the layout (with -DWITH_CONSOLE=1 the desktop client's files too; with
# -DDESKTOP_MODULE_DIR=<dir relative to bin> the tray's module where the agent looks for it); the installed units must pass systemd-analyze verify where it exists.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${out}${err}")
endif()
foreach(f bin/tapeyesv etc/netward/netward.reg lib/systemd/system/TapEyeSv.service
          lib/systemd/system/TapEye.service)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(DESKTOP_MODULE_DIR AND NOT EXISTS "${PREFIX}/bin/${DESKTOP_MODULE_DIR}/netward-desktop.so")
  message(FATAL_ERROR "the desktop module is not where the installed agent looks: bin/${DESKTOP_MODULE_DIR}")
endif()
# The desktop client, where it is built: the program, its menu entry and its icon.
if(WITH_CONSOLE)
  foreach(f bin/netward-console share/applications/netward-console.desktop
            share/icons/hicolor/scalable/apps/netward-console.svg)
    if(NOT EXISTS "${PREFIX}/${f}")
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()
  if(EXISTS /usr/bin/desktop-file-validate)
    execute_process(COMMAND /usr/bin/desktop-file-validate "${PREFIX}/share/applications/netward-console.desktop"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "desktop-file-validate: ${out}${err}")
    endif()
  endif()
endif()
file(READ "${PREFIX}/lib/systemd/system/TapEyeSv.service" unit)
if(NOT unit MATCHES "\nExecStart=${PREFIX}/bin/tapeyesv\n")
  message(FATAL_ERROR "ExecStart does not name the installed agent:\n${unit}")
endif()
# A second install keeps the settings a user has changed.
file(APPEND "${PREFIX}/etc/netward/netward.reg" "; changed\n")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" OUTPUT_QUIET)
file(READ "${PREFIX}/etc/netward/netward.reg" hive)
if(NOT hive MATCHES "; changed")
  message(FATAL_ERROR "the installed hive was overwritten")
endif()
if(EXISTS /usr/bin/systemd-analyze)
  execute_process(COMMAND /usr/bin/systemd-analyze verify --man=no
                          "${PREFIX}/lib/systemd/system/TapEyeSv.service" "${PREFIX}/lib/systemd/system/TapEye.service"
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify: ${err}")
  endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
