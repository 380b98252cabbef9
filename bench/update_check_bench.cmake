if(TARGET demo_service_lib)
  target_link_libraries(${name} PRIVATE demo_service_lib CURL::libcurl)
endif()
