# What the running copy reads from its local socket, and the answers back.
kaveltor_add_fuzzer(fuzz_instance_protocol
    SOURCES fuzz_instance_protocol.cpp ${CMAKE_SOURCE_DIR}/app/instance_protocol.cpp
    LIBS Qt6::Core)
target_include_directories(fuzz_instance_protocol PRIVATE ${CMAKE_SOURCE_DIR}/app)
