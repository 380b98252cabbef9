# The package is made by the publisher's packer and served by the demo
# service in-process; ZIP packages are unpacked through the ditto stand-in.
target_link_libraries(stream_install_bench PRIVATE publish)
add_dependencies(stream_install_bench helper_ditto)
