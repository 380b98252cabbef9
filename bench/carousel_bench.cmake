# The carousel benchmark opens a window with a real web view.
target_link_libraries(carousel_bench PRIVATE ui)
