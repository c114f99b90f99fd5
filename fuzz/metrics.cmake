netward_fuzz(metrics_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/metrics_fuzz.cpp LIBS netward_metrics)
