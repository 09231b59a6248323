# The project's warning set; -Werror when DORVEX_WERROR is on (CI and the dev presets).
function(dorvex_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wundef -Wcast-align
                                             $<$<BOOL:${DORVEX_WERROR}>:-Werror>)
  endif()
endfunction()
