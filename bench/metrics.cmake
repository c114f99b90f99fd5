netward_bench(metrics_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/metrics_bench.cpp
              LIBS netward_metrics netward_accounting netward_capture netward_test_support)

