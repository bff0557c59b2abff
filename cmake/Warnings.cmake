# Warnings apply to the project's own targets through this interface library.
add_library(verbat_warnings INTERFACE)
target_compile_options(verbat_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local)
if(VERBAT_WERROR)
  target_compile_options(verbat_warnings INTERFACE -Werror)
endif()
