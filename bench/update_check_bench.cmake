if(TARGET publish)
  target_link_libraries(${name} PRIVATE publish CURL::libcurl)
endif()
