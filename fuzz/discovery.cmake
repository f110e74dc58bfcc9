# Discovery parsers. The codec is compiled into each target so that the
# fuzzer's coverage and the sanitizers see it.
set(kaveltor_discovery_fuzz_sources
    fuzz_discovery.cpp
    ${CMAKE_SOURCE_DIR}/discovery/dns_codec.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_responder.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_probe.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_publisher.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_socket.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_browser.cpp
    ${CMAKE_SOURCE_DIR}/discovery/mdns_cache.cpp)
foreach(target read_name skip_name walk_record_section responder browser)
    string(TOUPPER ${target} macro)
    kaveltor_add_fuzzer(fuzz_${target} SOURCES ${kaveltor_discovery_fuzz_sources} LIBS kaveltor_core Qt6::Core)
    target_include_directories(fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR}/discovery ${CMAKE_SOURCE_DIR}/core)
    target_compile_definitions(fuzz_${target} PRIVATE FUZZ_${macro})
    set_target_properties(fuzz_${target} PROPERTIES AUTOMOC OFF)
endforeach()
