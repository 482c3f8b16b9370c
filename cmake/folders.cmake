# vse_folder_library(NAME DIR... [EXCLUDE FILE...]): the static library vse_NAME of every .cpp file
# in the folders DIR (relative to the calling CMakeLists.txt), less the files named after EXCLUDE,
# so that a new unit is one new file. Headers are included from src/ as "folder/file.hpp".
function(vse_folder_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "EXCLUDE")
  set(globs)
  foreach(dir IN LISTS arg_UNPARSED_ARGUMENTS)
    list(APPEND globs "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp")
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${globs})
  foreach(file IN LISTS arg_EXCLUDE)
    list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
  endforeach()
  add_library(vse_${name} STATIC ${sources})
  target_include_directories(vse_${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
endfunction()
