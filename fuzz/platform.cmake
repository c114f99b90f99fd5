netward_fuzz(hive_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/hive_fuzz.cpp LIBS netward_platform)
