# Debug overlay (font, line formatting, drawing) and the timecodes/chapter writers: host-free
# modules added to qexcore (this fragment sorts after qexcore.cmake).
target_sources(qexcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/font.cpp
  ${CMAKE_CURRENT_LIST_DIR}/overlay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/outputs.cpp
)
# The writers put their files on disk with the shared whole-file writer (PIC, like qexcore).
target_link_libraries(qexcore PRIVATE qexwholefile)
