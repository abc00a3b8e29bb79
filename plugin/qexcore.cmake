# qexcore: the host-free modules of the Qex plug-in (data model, definition reader,
# frame map). Other plug-in modules may add their host-free sources with
# target_sources(qexcore PRIVATE ...) from their own fragments; fragments are included
# in name order, so such fragments must sort after this one (or create their own library).
add_library(qexcore STATIC
  ${CMAKE_CURRENT_LIST_DIR}/model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/definition.cpp
  ${CMAKE_CURRENT_LIST_DIR}/framemap.cpp
)
set_target_properties(qexcore PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(qexcore PUBLIC ${CMAKE_CURRENT_LIST_DIR})
