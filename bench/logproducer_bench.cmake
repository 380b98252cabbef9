# Extra pieces of the log-producer benchmark: a protobuf message generated at
# build time, used only to compare encoders.
find_package(Protobuf REQUIRED)
set(LPBENCH_PROTO ${CMAKE_CURRENT_SOURCE_DIR}/logproducer_bench.proto)
set(LPBENCH_GEN ${CMAKE_CURRENT_BINARY_DIR}/lpbench_gen)
file(MAKE_DIRECTORY ${LPBENCH_GEN})
add_custom_command(
  OUTPUT ${LPBENCH_GEN}/logproducer_bench.pb.cc ${LPBENCH_GEN}/logproducer_bench.pb.h
  COMMAND ${Protobuf_PROTOC_EXECUTABLE} --cpp_out=${LPBENCH_GEN} -I${CMAKE_CURRENT_SOURCE_DIR} ${LPBENCH_PROTO}
  DEPENDS ${LPBENCH_PROTO}
  COMMENT "Generating the benchmark's log group message")
target_sources(logproducer_bench PRIVATE ${LPBENCH_GEN}/logproducer_bench.pb.cc)
target_include_directories(logproducer_bench PRIVATE ${LPBENCH_GEN})
target_link_libraries(logproducer_bench PRIVATE protobuf::libprotobuf)
