# Checks that every file of every layer includes, by its path from the top
# of the tree, only headers of its own layer and of the layers it uses,
# directly or through another. Run as
#   cmake -DROOT=source-tree -DLAYERS=layers.cmake -P check_layers.cmake
# with the layers that warehouse_check_layers() wrote; ends with an error
# that names each wrong include.
cmake_minimum_required(VERSION 3.20)
include(${LAYERS})

# Which layer each file belongs to.
foreach(layer IN LISTS LAYERS)
  foreach(file IN LISTS LAYER_FILES_${layer})
    set(owner_${file} ${layer})
  endforeach()
endforeach()

# What each layer may include: itself and every layer it reaches.
foreach(layer IN LISTS LAYERS)
  set(reached ${layer})
  set(pending ${LAYER_USES_${layer}})
  while(pending)
    list(POP_FRONT pending next)
    if(NOT next IN_LIST reached)
      list(APPEND reached ${next})
      list(APPEND pending ${LAYER_USES_${next}})
    endif()
  endwhile()
  set(reach_${layer} ${reached})
endforeach()

set(faults "")
foreach(layer IN LISTS LAYERS)
  foreach(file IN LISTS LAYER_FILES_${layer})
    file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
      if(NOT EXISTS ${ROOT}/${header} OR IS_DIRECTORY ${ROOT}/${header})
        string(APPEND faults "  ${file}: \"${header}\" is not a path from the top of the tree\n")
      elseif(NOT DEFINED owner_${header})
        string(APPEND faults "  ${file}: \"${header}\" belongs to no layer\n")
      elseif(NOT owner_${header} IN_LIST reach_${layer})
        string(REPLACE ";" ", " uses "${LAYER_USES_${layer}}")
        string(APPEND faults "  ${file}: \"${header}\" is of the layer ${owner_${header}}, which "
                             "${layer} does not use (it uses: ${uses})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Includes across the layers that the build does not allow:\n${faults}")
endif()
