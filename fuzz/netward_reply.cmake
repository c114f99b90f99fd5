netward_fuzz(netward_reply_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/netward_reply_fuzz.cpp LIBS netward_client)
