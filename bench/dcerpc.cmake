netward_bench(rpc_load SOURCES ${CMAKE_SOURCE_DIR}/bench/dcerpc_rpc_load.cpp ${CMAKE_SOURCE_DIR}/tests/dcerpc/agent_rpc_iface.cpp
  LIBS netward_dcerpc)
