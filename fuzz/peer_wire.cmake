# Replies from phones (identity, pairing, message and upload answers) and the
# upload head built from a file name of any bytes.
kaveltor_add_fuzzer(fuzz_peer_reply
    SOURCES fuzz_peer_reply.cpp ${CMAKE_SOURCE_DIR}/client/peer_wire.cpp ${CMAKE_SOURCE_DIR}/core/http_wire.cpp
    LIBS Qt6::Core)
target_include_directories(fuzz_peer_reply PRIVATE ${CMAKE_SOURCE_DIR}/client ${CMAKE_SOURCE_DIR}/core)
set_target_properties(fuzz_peer_reply PROPERTIES AUTOMOC OFF)
