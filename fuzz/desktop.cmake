netward_fuzz(handoff_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/handoff_fuzz.cpp LIBS netward_desktop_shared)
