# The product layer's libraries, bottom to top. Each library links only the ones before it, and a
# file may include headers of its own library and of the ones before it only: CheckLayers.cmake
# enforces that before anything in src/ is compiled, and as the test src.layering. Read both by
# src/CMakeLists.txt and by the check, so the libraries and the rule cannot drift apart.
#
# A library claims files by entries relative to src/: "folder/" is that folder's whole tree, any
# other entry a file pattern in one folder. A file belongs to the first library that claims it, so
# the user agent takes whatever of src/core the services did not: the user agent lives beside the
# services it uses, and the library split follows the file list, not the folder.
set(ZEL_SRC_LAYERS config services sdp dum useragent capi)
set(ZEL_SRC_LAYER_config config/)
set(ZEL_SRC_LAYER_services
    core/IComputerNameProvider.h core/ComputerNameProvider.*
    core/IRandomNumberGenerator.h core/RandomNumberGenerator.*
    core/Utils.* core/MessageLogger.* core/EventSignal.h)
set(ZEL_SRC_LAYER_sdp sdp/)
set(ZEL_SRC_LAYER_dum dum/)
set(ZEL_SRC_LAYER_useragent core/)
# The C interface: compiled into the shared object, not into a static library.
set(ZEL_SRC_LAYER_capi capi/)

# The lowest library that may include the public C header. The dialog handlers take the host's
# records and callbacks as they come; everything below works with the C++ enumerations only, and
# the C interface converts.
set(ZEL_SRC_PUBLIC_HEADER_FROM dum)

# Sets <out> to the C and C++ files (headers and sources) under <root> that <layer> claims,
# relative to <root> and sorted. Files claimed by no library are left out; see
# zel_src_unclaimed_files.
function(zel_src_layer_files root layer out)
  set(claimed "")
  foreach(current IN LISTS ZEL_SRC_LAYERS)
    set(files "")
    foreach(entry IN LISTS ZEL_SRC_LAYER_${current})
      if(entry MATCHES "/$")
        file(GLOB_RECURSE found RELATIVE ${root} ${root}/${entry}*)
      else()
        file(GLOB found RELATIVE ${root} ${root}/${entry})
      endif()
      list(FILTER found INCLUDE REGEX "\\.(h|hpp|c|cpp)$")
      list(APPEND files ${found})
    endforeach()
    if(claimed)
      list(REMOVE_ITEM files ${claimed})
    endif()
    list(REMOVE_DUPLICATES files)
    if(current STREQUAL layer)
      list(SORT files)
      set(${out} ${files} PARENT_SCOPE)
      return()
    endif()
    list(APPEND claimed ${files})
  endforeach()
  message(FATAL_ERROR "unknown product library '${layer}'")
endfunction()

# Sets <out> to the C and C++ files under <root> that no library claims.
function(zel_src_unclaimed_files root out)
  file(GLOB_RECURSE all RELATIVE ${root} ${root}/*.h ${root}/*.hpp ${root}/*.c ${root}/*.cpp)
  foreach(layer IN LISTS ZEL_SRC_LAYERS)
    zel_src_layer_files(${root} ${layer} files)
    if(files AND all)
      list(REMOVE_ITEM all ${files})
    endif()
  endforeach()
  list(SORT all)
  set(${out} ${all} PARENT_SCOPE)
endfunction()
