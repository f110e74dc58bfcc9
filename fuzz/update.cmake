# Update manifests and the version texts in them.
kaveltor_add_fuzzer(fuzz_update_manifest
    SOURCES fuzz_update_manifest.cpp ${CMAKE_SOURCE_DIR}/update/update_service.cpp
            ${CMAKE_SOURCE_DIR}/update/update_service.h
    LIBS kaveltor_core Qt6::Core Qt6::Network)
target_include_directories(fuzz_update_manifest PRIVATE ${CMAKE_SOURCE_DIR}/update ${CMAKE_SOURCE_DIR}/core)
