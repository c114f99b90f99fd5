netward_fuzz(snapshot_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/snapshot_fuzz.cpp LIBS netward_client)
