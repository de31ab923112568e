# Fails when a file in src/ includes upwards: a header of a library above its own (Layers.cmake),
# the public C header below ZEL_SRC_PUBLIC_HEADER_FROM, or a path that reaches around the include
# roots ("../", "src/", "include/"). Also fails for a C or C++ file that no library claims, so a new
# folder cannot slip past the rule.
#
#   cmake [-DZEL_SRC_DIR=<tree>] [-DSTAMP=<file>] -P CheckLayers.cmake
#
# ZEL_SRC_DIR defaults to the folder of this script; STAMP is touched on success (the build's
# record that the check ran on the current files). Every violation is listed, not only the first.
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)
if(NOT ZEL_SRC_DIR)
  set(ZEL_SRC_DIR ${CMAKE_CURRENT_LIST_DIR})
endif()

list(FIND ZEL_SRC_LAYERS ${ZEL_SRC_PUBLIC_HEADER_FROM} public_from)
foreach(layer IN LISTS ZEL_SRC_LAYERS)
  zel_src_layer_files(${ZEL_SRC_DIR} ${layer} files_${layer})
  foreach(file IN LISTS files_${layer})
    set(owner_${file} ${layer})
  endforeach()
endforeach()

set(violations "")
zel_src_unclaimed_files(${ZEL_SRC_DIR} unclaimed)
foreach(file IN LISTS unclaimed)
  list(APPEND violations "${file}: belongs to no library; claim it in src/Layers.cmake")
endforeach()

set(index 0)
foreach(layer IN LISTS ZEL_SRC_LAYERS)
  foreach(file IN LISTS files_${layer})
    get_filename_component(dir ${file} DIRECTORY)
    file(STRINGS ${ZEL_SRC_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^\">]+)[\">]")
        continue()
      endif()
      set(form ${CMAKE_MATCH_1})
      set(path ${CMAKE_MATCH_2})
      if(path MATCHES "^zelmor/")
        if(index LESS public_from)
          string(CONCAT text "${file} (${layer}): includes the public C header ${path}; only "
                        "${ZEL_SRC_PUBLIC_HEADER_FROM} and above may, the layers below use the C++ types")
          list(APPEND violations "${text}")
        endif()
        continue()
      endif()
      if(path MATCHES "(^|/)\\.\\.(/|$)" OR path MATCHES "^(src|include)/")
        list(APPEND violations "${file} (${layer}): includes ${path}, reaching around the include roots")
        continue()
      endif()
      # A quoted include is looked up beside the including file first, then from the root.
      set(target "")
      if(form STREQUAL "\"" AND dir AND EXISTS ${ZEL_SRC_DIR}/${dir}/${path})
        set(target ${dir}/${path})
      elseif(EXISTS ${ZEL_SRC_DIR}/${path})
        set(target ${path})
      endif()
      if(NOT target OR NOT DEFINED owner_${target})
        continue() # the stack, a dependency or the standard library
      endif()
      list(FIND ZEL_SRC_LAYERS ${owner_${target}} target_index)
      if(target_index GREATER index)
        list(APPEND violations "${file} (${layer}): includes ${path} of ${owner_${target}}, which sits above it")
      endif()
    endforeach()
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "src/ includes upwards (order, bottom to top: ${ZEL_SRC_LAYERS}):\n  ${text}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
