netward_bench(rpc_load SOURCES ${CMAKE_SOURCE_DIR}/bench/dcerpc_rpc_load.cpp LIBS netward_test_support)
