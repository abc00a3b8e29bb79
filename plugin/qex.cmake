# qex: the plug-in, a shared library (libqex.so at the top of the build tree) whose only
# exported symbol is AvisynthPluginInit2. It is built against the plug-in API header alone and
# the host-free static libraries of the plug-in (compiled with PIC); never against the host.
add_library(qex SHARED
  ${CMAKE_CURRENT_LIST_DIR}/filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qexcut.cpp
)
target_include_directories(qex PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/host/include)
target_link_libraries(qex PRIVATE qexserving)
set_target_properties(qex PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/qex.exports)
# The static libraries' symbols stay inside the library as well.
target_link_options(qex PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/qex.exports
  -Wl,--exclude-libs,ALL
  -Wl,--no-undefined)

# Serving decisions without a frame server, for the unit tests.
add_library(qexserving STATIC ${CMAKE_CURRENT_LIST_DIR}/serving.cpp)
target_include_directories(qexserving PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qexserving PUBLIC qexcore)
