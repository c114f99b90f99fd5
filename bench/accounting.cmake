netward_bench(accounting_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/accounting_bench.cpp
              LIBS netward_accounting netward_capture)
