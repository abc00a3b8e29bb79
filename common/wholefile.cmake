# qexwholefile: writing a file whole (temporary file and rename, links followed, devices and
# pipes written in place). Compiled with PIC, so that the plug-in's shared library can link it.
find_package(Threads REQUIRED)
add_library(qexwholefile STATIC ${CMAKE_CURRENT_LIST_DIR}/wholefile.cpp)
set_target_properties(qexwholefile PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(qexwholefile PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qexwholefile PUBLIC Threads::Threads)
