foreach(target read_name skip_name walk_record_section responder browser)
    string(TOUPPER ${target} macro)
    kaveltor_add_fuzz_replay(fuzz_${target} SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_discovery.cpp
        LIBS kaveltor_discovery DEFINES FUZZ_${macro})
endforeach()
kaveltor_add_fuzz_replay(fuzz_http_head SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_http_head.cpp LIBS kaveltor_core)
kaveltor_add_fuzz_replay(fuzz_sanitize_file_name SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_sanitize_file_name.cpp
    LIBS kaveltor_server)
kaveltor_add_fuzz_replay(fuzz_peer_reply SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_peer_reply.cpp LIBS kaveltor_client)
kaveltor_add_fuzz_replay(fuzz_update_manifest SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_update_manifest.cpp
    LIBS kaveltor_update)
kaveltor_add_fuzz_replay(fuzz_instance_protocol SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_instance_protocol.cpp LIBS kaveltor_app)
