# Process CPU while the window sits hidden in the tray, against the same
# window shown and animating.
add_executable(bench_idle_cpu ${CMAKE_CURRENT_LIST_DIR}/bench_idle_cpu.cpp)
target_link_libraries(bench_idle_cpu PRIVATE kaveltor_ui kaveltor_resources)
