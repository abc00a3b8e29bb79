# qexplatform: the TMPGEnc project reader, the VFR-info shared memory and the platform layer
# (POSIX or Win32 side). Linked into qexcore (this fragment sorts after qexcore.cmake), so
# everything that links qexcore gets it; tests of these modules link it alone.
find_package(Threads REQUIRED)
if(WIN32)
  set(QEX_PLATFORM_SOURCE ${CMAKE_CURRENT_LIST_DIR}/platform_win32.cpp)
else()
  set(QEX_PLATFORM_SOURCE ${CMAKE_CURRENT_LIST_DIR}/platform_posix.cpp)
endif()
add_library(qexplatform STATIC
  ${CMAKE_CURRENT_LIST_DIR}/project.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vfrinfo.cpp
  ${QEX_PLATFORM_SOURCE}
)
set_target_properties(qexplatform PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(qexplatform PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qexplatform PUBLIC Threads::Threads)
if(WIN32)
  target_link_libraries(qexplatform PUBLIC user32)
else()
  target_link_libraries(qexplatform PUBLIC rt)
endif()
if(TARGET qexcore)
  target_link_libraries(qexcore PUBLIC qexplatform)
endif()
