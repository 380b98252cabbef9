# The end-to-end install benchmark starts the local test service in-process.
target_link_libraries(e2e_bench PRIVATE publish)
add_dependencies(e2e_bench helper_hdiutil helper_ditto helper_pkgutil)
