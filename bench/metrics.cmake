netward_bench(metrics_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/metrics_bench.cpp
              LIBS netward_metrics netward_accounting netward_capture)
target_include_directories(metrics_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
