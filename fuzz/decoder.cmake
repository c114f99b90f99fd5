# Frame decoder, both media entries: the first input byte picks the medium, the rest is the frame.
netward_fuzz(decoder_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/decoder_fuzz.cpp LIBS netward_decoder)
