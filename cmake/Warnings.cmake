# Warnings are errors on every compiler we build with.
add_library(orvo_warnings INTERFACE)
target_compile_options(orvo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
  -Wformat=2 -Werror)
if(WIN32)
  # C99 printf semantics (%zu, %lld, %ls) from mingw's own stdio.
  target_compile_definitions(orvo_warnings INTERFACE
    __USE_MINGW_ANSI_STDIO=1 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
endif()
