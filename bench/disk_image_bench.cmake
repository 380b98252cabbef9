# The samples folder is found beside the source tree.
target_compile_definitions(disk_image_bench PRIVATE INSTALLER_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
