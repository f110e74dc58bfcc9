# Request heads as peers send them, and the file names they propose. The
# sources under test are compiled in so that the fuzzer sees their coverage.
kaveltor_add_fuzzer(fuzz_http_head
    SOURCES fuzz_http_head.cpp ${CMAKE_SOURCE_DIR}/core/http_wire.cpp
    LIBS Qt6::Core)
target_include_directories(fuzz_http_head PRIVATE ${CMAKE_SOURCE_DIR}/server ${CMAKE_SOURCE_DIR}/core)

kaveltor_add_fuzzer(fuzz_sanitize_file_name
    SOURCES fuzz_sanitize_file_name.cpp ${CMAKE_SOURCE_DIR}/server/file_store.cpp
    LIBS Qt6::Core)
target_include_directories(fuzz_sanitize_file_name PRIVATE ${CMAKE_SOURCE_DIR}/server ${CMAKE_SOURCE_DIR}/core)
set_target_properties(fuzz_http_head fuzz_sanitize_file_name PROPERTIES AUTOMOC OFF)
