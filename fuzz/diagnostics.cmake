netward_fuzz(tcpip_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/tcpip_fuzz.cpp LIBS netward_diagnostics)
