# The window benchmark spawns window_probe once per window and round.
add_executable(window_probe ${CMAKE_CURRENT_SOURCE_DIR}/window_probe.cc)
target_link_libraries(window_probe PRIVATE ui)
installer_warnings(window_probe)
add_dependencies(window_bench window_probe)
target_link_libraries(window_bench PRIVATE PkgConfig::WEBP)
target_compile_definitions(window_bench PRIVATE WINDOW_PROBE_PATH="$<TARGET_FILE:window_probe>")
