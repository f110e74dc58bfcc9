# Upload receive throughput; bench/upload_bench.sh runs it against a socat
# baseline inside a private network namespace.
add_executable(bench_upload upload_bench.cpp)
target_link_libraries(bench_upload PRIVATE kaveltor_server)
