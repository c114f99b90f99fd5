# Decoded lines per second over the mixed workload (generated at build time, never committed).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(DECODER_BENCH_PCAP IMPORTED_TARGET libpcap)
endif()
if(TARGET netward_decoder AND TARGET PkgConfig::DECODER_BENCH_PCAP)
  set(decoder_bench_workload ${CMAKE_CURRENT_BINARY_DIR}/decoder_mix.pcap)
  add_custom_command(OUTPUT ${decoder_bench_workload}
    COMMAND /usr/bin/python3 ${NETWARD_SHARED_DIR}/workloads/make_pcap.py --frames 20000
            --stations 600 --seed 1 --quiet --out ${decoder_bench_workload}
    COMMENT "Generating the decoder benchmark workload")
  add_custom_target(decoder_bench_workload DEPENDS ${decoder_bench_workload})
  netward_bench(decoder_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/decoder_bench.cpp
                LIBS netward_decoder PkgConfig::DECODER_BENCH_PCAP)
  target_compile_definitions(decoder_bench PRIVATE
    DECODER_BENCH_WORKLOAD="${decoder_bench_workload}")
  add_dependencies(decoder_bench decoder_bench_workload)
endif()
