# qexpipe: runs a script in the stand-in host and writes its frames.
if(TARGET qexhost)  # host.cmake comes first; qexscript (script.cmake) is linked by name
  add_library(qexpipe_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/qexpipe_args.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pipe_output.cpp)
  target_include_directories(qexpipe_core PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/include)
  target_link_libraries(qexpipe_core PUBLIC qexwholefile)
  add_executable(qexpipe ${CMAKE_CURRENT_LIST_DIR}/qexpipe.cpp)
  target_link_libraries(qexpipe PRIVATE qexpipe_core qexscript)
endif()
