# Include folders by layer. Each target of the system gets one folder of its
# own in the build tree that holds links to exactly what its layer may
# include (cmake/layers.txt), so a forbidden #include fails to compile.
# Includes keep their folder-qualified form ("lib/fervlib.h").

file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/layers.txt FERV_LAYER_LINES REGEX "^[a-z]")
set(FERV_VIEW_ROOT ${CMAKE_BINARY_DIR}/include-views)

# Makes (once per configure) the include folder of `layer` and returns its
# path in `out`.
function(ferv_layer_view layer out)
  set(entries)
  set(found FALSE)
  foreach(line ${FERV_LAYER_LINES})
    string(REGEX REPLACE "[ \t]+" ";" words "${line}")
    list(POP_FRONT words name)
    if(name STREQUAL layer)
      set(entries ${words})
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "layer ${layer} is not in cmake/layers.txt")
  endif()
  set(view ${FERV_VIEW_ROOT}/${layer})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  # The layer's own folder, then what it may use.
  foreach(entry ${layer} ${entries})
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${entry})
      continue()
    endif()
    get_filename_component(parent ${view}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${view}/${entry})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${entry} ${view}/${entry} SYMBOLIC)
    endif()
  endforeach()
  set(${out} ${view} PARENT_SCOPE)
endfunction()

# Gives target the include folder of layer.
function(ferv_layer target layer)
  get_property(made GLOBAL PROPERTY FERV_VIEW_${layer})
  if(NOT made)
    ferv_layer_view(${layer} view)
    set_property(GLOBAL PROPERTY FERV_VIEW_${layer} ${view})
    set(made ${view})
  endif()
  target_include_directories(${target} PRIVATE ${made})
endfunction()
