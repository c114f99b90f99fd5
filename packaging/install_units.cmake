# Install-time part of packaging/CMakeLists.txt: fills the unit templates for the prefix in use.
# In: NW_SOURCE_DIR, NW_BINDIR, NW_HIVE_DIR, NW_UNIT_DIR (the last two relative to the prefix or
# absolute).
foreach(var NW_BINDIR NW_HIVE_DIR NW_UNIT_DIR)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

file(READ "${NW_SOURCE_DIR}/TapEyeSv.service.in" agent_unit)
string(REPLACE "@EXEC_START@" "${NW_BINDIR}/tapeyesv" agent_unit "${agent_unit}")
string(REPLACE "@READ_WRITE_PATHS@" "ReadWritePaths=-${NW_HIVE_DIR}" agent_unit "${agent_unit}")
file(READ "${NW_SOURCE_DIR}/TapEye.service.in" driver_unit)

set(staging "${CMAKE_CURRENT_BINARY_DIR}/units")
file(WRITE "${staging}/TapEyeSv.service" "${agent_unit}")
file(WRITE "${staging}/TapEye.service" "${driver_unit}")
file(INSTALL "${staging}/TapEyeSv.service" "${staging}/TapEye.service" DESTINATION "${NW_UNIT_DIR}")
