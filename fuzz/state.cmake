netward_fuzz(history_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/history_fuzz.cpp LIBS netward_state)
