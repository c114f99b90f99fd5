# Replies per second of the request dispatcher over tables filled by replaying the mixed workload
# through an agent's capture thread (the workload is generated on the first run, never committed).
netward_bench(remote_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/remote_bench.cpp
              LIBS netward_remote netward_core netward_capture)
