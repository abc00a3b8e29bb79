# Core of the stand-in host: plug-in API, environment, frames, core filters, sources, y4m.

# The plug-in API header alone, for plug-ins built against it.
add_library(avisynth_api INTERFACE)
target_include_directories(avisynth_api INTERFACE ${CMAKE_CURRENT_LIST_DIR}/include)

add_library(qexhost STATIC
  ${CMAKE_CURRENT_LIST_DIR}/env.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/y4m.cpp)
target_include_directories(qexhost PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qexhost PUBLIC avisynth_api ${CMAKE_DL_LIBS})
