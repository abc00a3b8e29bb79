# Script language of the stand-in host: lexer, parser and evaluator.
add_library(qexscript STATIC
  ${CMAKE_CURRENT_LIST_DIR}/script_lexer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_parser.cpp)
target_include_directories(qexscript PUBLIC ${CMAKE_CURRENT_LIST_DIR})
