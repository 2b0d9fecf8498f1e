# Warning set for the project's own targets (JUCE headers are included as system headers).
add_library(corvana_warnings INTERFACE)
target_compile_options(corvana_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wnull-dereference -Wimplicit-fallthrough -Wformat=2)
if(CORVANA_WERROR)
  target_compile_options(corvana_warnings INTERFACE -Werror)
endif()
