# The end-to-end install benchmark starts the demo service in-process.
target_link_libraries(e2e_bench PRIVATE demo_service_lib)
add_dependencies(e2e_bench helper_hdiutil helper_ditto helper_pkgutil)
