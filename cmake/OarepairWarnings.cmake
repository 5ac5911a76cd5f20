# Warnings on and treated as errors for the project's own targets (not for third-party code).
function(oarepair_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
      -Wno-sign-conversion -Werror)
  endif()
endfunction()
