# Warnings for the project's own targets; third-party headers stay quiet.
function(larkhold_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
