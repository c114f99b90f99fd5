netward_fuzz(dcerpc_pdu_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/dcerpc_pdu_fuzz.cpp LIBS netward_dcerpc)
netward_fuzz(dcerpc_stream_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/dcerpc_stream_fuzz.cpp LIBS netward_test_support)
