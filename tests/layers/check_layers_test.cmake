# The include check on small made-up trees laid out like src/: a tree that includes only downwards
# passes, and each way of including upwards fails and names the file and the include.
#
#   cmake -DCHECK=<src/CheckLayers.cmake> -DWORK_DIR=<scratch folder> -P check_layers_test.cmake

set(failures "")

# A tree with one file per library, each including the one below it the way src/ does.
function(write_clean_tree root)
  file(REMOVE_RECURSE ${root})
  file(WRITE ${root}/config/Config.h "#pragma once\n#include <string>\n")
  file(WRITE ${root}/config/tls/CipherList.cpp "#include \"config/tls/CipherList.h\"\n")
  file(WRITE ${root}/config/tls/CipherList.h "#pragma once\n")
  file(WRITE ${root}/core/Utils.h "#pragma once\n#include \"config/Config.h\"\n")
  file(WRITE ${root}/core/Utils.cpp "#include \"Utils.h\"\n#include \"stack/base/Log.h\"\n")
  file(WRITE ${root}/sdp/MediaNegotiator.h
       "#pragma once\n#include \"core/Utils.h\"\n#include \"negotiators/IMediaNegotiator.h\"\n")
  file(WRITE ${root}/sdp/negotiators/IMediaNegotiator.h "#pragma once\n")
  file(WRITE ${root}/dum/ContentsFactory.h "#pragma once\n#include \"sdp/MediaNegotiator.h\"\n#include \"zelmor/sip.h\"\n")
  file(WRITE ${root}/core/UserAgent.h "#pragma once\n#include \"dum/ContentsFactory.h\"\n#include \"core/Utils.h\"\n")
  file(WRITE ${root}/capi/UserAgent.cpp "#include \"core/UserAgent.h\"\n#include <zelmor/sip.h>\n")
  file(WRITE ${root}/dum/README.md "#include \"capi/UserAgent.cpp\" in a text file is not code\n")
endfunction()

# Runs the check on a clean tree with <file> set to <content>; <expect> is "pass" or a text the
# failure must contain.
function(expect name file content expect)
  set(root ${WORK_DIR}/${name})
  write_clean_tree(${root})
  if(file)
    file(WRITE ${root}/${file} "${content}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DZEL_SRC_DIR=${root} -DSTAMP=${root}.stamp -P ${CHECK}
                  RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE output_out)
  if(expect STREQUAL "pass")
    if(NOT result EQUAL 0 OR NOT EXISTS ${root}.stamp)
      set(failures "${failures}\n${name}: expected to pass, got ${result}: ${output}" PARENT_SCOPE)
    endif()
  else()
    string(FIND "${output}" "${expect}" at)
    if(result EQUAL 0 OR at EQUAL -1)
      set(failures "${failures}\n${name}: expected a failure naming '${expect}', got ${result}: ${output}"
          PARENT_SCOPE)
    elseif(EXISTS ${root}.stamp)
      set(failures "${failures}\n${name}: failed but still marked the tree as checked" PARENT_SCOPE)
    endif()
  endif()
  file(REMOVE ${root}.stamp)
endfunction()

expect(clean "" "" pass)
expect(sdp_includes_dum sdp/MediaNegotiator.h "#include \"dum/ContentsFactory.h\"\n"
       "sdp/MediaNegotiator.h (sdp): includes dum/ContentsFactory.h of dum, which sits above it")
expect(config_includes_sdp config/tls/CipherList.cpp "  #  include <sdp/MediaNegotiator.h>\n"
       "config/tls/CipherList.cpp (config): includes sdp/MediaNegotiator.h of sdp")
# The services share src/core with the user agent but sit below it: the split is by file.
expect(service_includes_user_agent core/Utils.cpp "#include \"core/UserAgent.h\"\n"
       "core/Utils.cpp (services): includes core/UserAgent.h of useragent")
expect(service_includes_user_agent_beside core/Utils.cpp "#include \"UserAgent.h\"\n"
       "core/Utils.cpp (services): includes UserAgent.h of useragent")
expect(dum_includes_capi dum/ContentsFactory.h "#include \"capi/UserAgent.cpp\"\n"
       "dum/ContentsFactory.h (dum): includes capi/UserAgent.cpp of capi")
expect(sdp_includes_public_header sdp/negotiators/IMediaNegotiator.h "#include <zelmor/sip.h>\n"
       "sdp/negotiators/IMediaNegotiator.h (sdp): includes the public C header zelmor/sip.h")
expect(sdp_reaches_up_relatively sdp/negotiators/IMediaNegotiator.h "#include \"../../dum/ContentsFactory.h\"\n"
       "includes ../../dum/ContentsFactory.h, reaching around the include roots")
expect(sdp_reaches_around_the_root sdp/MediaNegotiator.h "#include \"src/dum/ContentsFactory.h\"\n"
       "includes src/dum/ContentsFactory.h, reaching around the include roots")
expect(sdp_reaches_the_public_header_by_path sdp/MediaNegotiator.h "#include \"include/zelmor/sip.h\"\n"
       "includes include/zelmor/sip.h, reaching around the include roots")
expect(unclaimed_folder media/Rtp.h "#pragma once\n" "media/Rtp.h: belongs to no library")

if(failures)
  message(FATAL_ERROR "include check:${failures}")
endif()
