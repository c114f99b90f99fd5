netward_bench(capture_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/capture_bench.cpp LIBS netward_capture)
