netward_fuzz(capture_cooked_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/capture_cooked_fuzz.cpp LIBS netward_capture)
netward_fuzz(pcap_records_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/pcap_records_fuzz.cpp LIBS netward_capture)
