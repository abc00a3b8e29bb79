# zorvane: the front end and writers as a library (so tests link them), plus
# the program. The cadence analysis is zorvane_analysis (tool/analysis.cmake).
add_library(zorvane_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastmode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/writers.cpp)
target_include_directories(zorvane_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zorvane_core PUBLIC zorvane_analysis PRIVATE qexwholefile)

add_executable(zorvane ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(zorvane PRIVATE zorvane_core)
