netward_fuzz(accounting_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/accounting_fuzz.cpp LIBS netward_accounting)
