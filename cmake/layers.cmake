# The program's layers: each folder's code is a library target that names
# the layers it may use, and a build rule checks, before anything compiles,
# that every source file includes only headers of its own layer and of the
# layers it uses. A wrong include fails the build.
#
# warehouse_library(NAME [BUILD_IF condition] SOURCES file... [UNBUILT file...]
#                   [HEADERS file...] [USES layer...] [LIBRARIES library...])
#   makes the static library warehouse_NAME of SOURCES, relative to the
#   calling folder. Its headers are those beside its sources and HEADERS.
#   UNBUILT are sources of the layer that this configuration leaves out, and
#   a false BUILD_IF leaves out the whole library: the layers are checked
#   the same whatever is built. USES names the layers it may include and
#   links those that are built, but for "table": the table is compiled once
#   for each bucket count, and the program or test that links the library
#   links the table too. LIBRARIES are the outside libraries it links.
# warehouse_layer(NAME FILES file... USES layer...)
#   declares files that are no library, such as a program's main, for the
#   check alone.
# warehouse_check_layers() writes the layers out and adds the rule that
#   checks them; call it once, after every layer is declared.

function(warehouse_layer name)
  cmake_parse_arguments(arg "" "" "FILES;USES" ${ARGN})
  set(files)
  foreach(file IN LISTS arg_FILES)
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    list(APPEND files ${relative})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY WAREHOUSE_LAYERS ${name})
  set_property(GLOBAL APPEND PROPERTY WAREHOUSE_LAYER_FILES_${name} ${files})
  set_property(GLOBAL PROPERTY WAREHOUSE_LAYER_USES_${name} ${arg_USES})
endfunction()

function(warehouse_library name)
  cmake_parse_arguments(arg "" "BUILD_IF" "SOURCES;UNBUILT;HEADERS;USES;LIBRARIES" ${ARGN})
  set(headers ${arg_HEADERS})
  foreach(source IN LISTS arg_SOURCES arg_UNBUILT)
    string(REGEX REPLACE "\\.cpp$" ".hh" header ${source})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${header})
      list(APPEND headers ${header})
    endif()
  endforeach()
  warehouse_layer(${name} FILES ${arg_SOURCES} ${arg_UNBUILT} ${headers} USES ${arg_USES})
  if(DEFINED arg_BUILD_IF AND NOT arg_BUILD_IF)
    return()
  endif()
  add_library(warehouse_${name} STATIC ${arg_SOURCES})
  set(linked)
  foreach(layer IN LISTS arg_USES)
    if(NOT layer STREQUAL "table")
      list(APPEND linked "$<TARGET_NAME_IF_EXISTS:warehouse_${layer}>")
    endif()
  endforeach()
  target_link_libraries(warehouse_${name} PUBLIC ${linked} ${arg_LIBRARIES})
  add_dependencies(warehouse_${name} warehouse_layers)
endfunction()

function(warehouse_check_layers)
  get_property(layers GLOBAL PROPERTY WAREHOUSE_LAYERS)
  list(REMOVE_DUPLICATES layers)
  set(description "# Written by CMake: the layers, their files and what each uses.\n")
  string(APPEND description "set(LAYERS ${layers})\n")
  set(all_files)
  foreach(layer IN LISTS layers)
    get_property(files GLOBAL PROPERTY WAREHOUSE_LAYER_FILES_${layer})
    get_property(uses GLOBAL PROPERTY WAREHOUSE_LAYER_USES_${layer})
    list(REMOVE_DUPLICATES files)
    string(APPEND description "set(LAYER_FILES_${layer} ${files})\n")
    string(APPEND description "set(LAYER_USES_${layer} ${uses})\n")
    foreach(file IN LISTS files)
      list(APPEND all_files ${PROJECT_SOURCE_DIR}/${file})
    endforeach()
  endforeach()
  set(layers_file ${PROJECT_BINARY_DIR}/layers.cmake)
  file(WRITE ${layers_file}.new "${description}")
  file(COPY_FILE ${layers_file}.new ${layers_file} ONLY_IF_DIFFERENT)
  set(checked ${PROJECT_BINARY_DIR}/layers.checked)
  add_custom_command(
    OUTPUT ${checked}
    COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DLAYERS=${layers_file}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${checked}
    DEPENDS ${all_files} ${layers_file} ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking that each layer includes only what it uses"
    VERBATIM)
  add_custom_target(warehouse_layers DEPENDS ${checked})
endfunction()
