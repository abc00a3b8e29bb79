# Script language of the stand-in host: lexer and parser (qexscript_syntax, no dependencies),
# evaluator (qexscript, on top of the environment in qexhost).
add_library(qexscript_syntax STATIC
  ${CMAKE_CURRENT_LIST_DIR}/script_lexer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_parser.cpp)
target_include_directories(qexscript_syntax PUBLIC ${CMAKE_CURRENT_LIST_DIR})

if(TARGET qexhost)
  add_library(qexscript STATIC ${CMAKE_CURRENT_LIST_DIR}/script.cpp)
  target_link_libraries(qexscript PUBLIC qexscript_syntax qexhost)
endif()
