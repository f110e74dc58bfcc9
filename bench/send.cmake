# sendFile against socat file-to-TCP copies on loopback. Run it with
#   cmake --build build --target bench_send_run
# (bench/send_bench.sh makes the files and runs in a private network namespace).
add_executable(bench_send send_bench.cpp)
target_link_libraries(bench_send PRIVATE kaveltor_client Qt6::Core)
add_custom_target(bench_send_run
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/send_bench.sh $<TARGET_FILE:bench_send>
    DEPENDS bench_send USES_TERMINAL)
