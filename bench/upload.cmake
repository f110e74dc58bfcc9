# Upload receive throughput and CPU time; bench/upload_bench.sh runs it
# against socat baselines inside a private network namespace.
add_executable(bench_upload upload_bench.cpp)
target_link_libraries(bench_upload PRIVATE kaveltor_server)
