# Programs of the capture benchmarks that are not Google Benchmark programs; the scripts
# bench/live_capture and bench/replay_cpu run them.

# The live benchmark's sender (run as root, in a network namespace of the script's own).
add_executable(live_sender ${CMAKE_CURRENT_SOURCE_DIR}/live_sender.cpp)
target_link_libraries(live_sender PRIVATE netward_capture)  # for libpcap
# The capture thread alone on a live interface: with or without accounting, or the reads only.
add_executable(live_capture_thread ${CMAKE_CURRENT_SOURCE_DIR}/live_capture_thread.cpp)
target_link_libraries(live_capture_thread PRIVATE netward_accounting netward_capture Threads::Threads)
# The bare libpcap read loop that the agent's file replay is compared with.
add_executable(pcap_read_loop ${CMAKE_CURRENT_SOURCE_DIR}/pcap_read_loop.cpp)
target_link_libraries(pcap_read_loop PRIVATE netward_capture)  # for libpcap
