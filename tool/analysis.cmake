# Cadence analysis of zorvane (filter table, sparse cycles, segments, 6to2 phases).
# Included before zorvane.cmake, so zorvane_core can link it.
add_library(zorvane_analysis STATIC
  ${CMAKE_CURRENT_LIST_DIR}/filtertable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sparse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/segments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/phase.cpp)
target_include_directories(zorvane_analysis PUBLIC ${CMAKE_CURRENT_LIST_DIR})
