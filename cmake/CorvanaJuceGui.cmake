# The GUI modules (graphics, gui_basics, gui_extra with the web view), compiled
# once into a second static library on top of corvana_juce. gui_extra is built
# from a copy with one fix applied: the Linux web view's reader thread polls
# with a zero timeout and burns a whole core per window; later JUCE versions
# wait 10 ms.
get_target_property(_corvana_core_includes juce::juce_core INTERFACE_INCLUDE_DIRECTORIES)
set(CORVANA_JUCE_MODULES_DIR "")
foreach(_dir IN LISTS _corvana_core_includes)
  if(EXISTS "${_dir}/juce_gui_extra/juce_gui_extra.h")
    set(CORVANA_JUCE_MODULES_DIR "${_dir}")
  endif()
endforeach()
if(NOT CORVANA_JUCE_MODULES_DIR)
  message(FATAL_ERROR "The JUCE module folder with juce_gui_extra was not found.")
endif()

set(_corvana_patched_dir "${CMAKE_BINARY_DIR}/juce-patched")
set(_corvana_webview_file "${_corvana_patched_dir}/juce_gui_extra/native/juce_linux_X11_WebBrowserComponent.cpp")
file(REMOVE_RECURSE "${_corvana_patched_dir}/juce_gui_extra")
file(COPY "${CORVANA_JUCE_MODULES_DIR}/juce_gui_extra" DESTINATION "${_corvana_patched_dir}")
file(READ "${_corvana_webview_file}" _corvana_webview_text)
set(_corvana_poll_pattern "result = poll (&pfds.front(), static_cast<nfds_t> (pfds.size()), 0);")
string(FIND "${_corvana_webview_text}" "${_corvana_poll_pattern}" _corvana_poll_at)
if(_corvana_poll_at EQUAL -1)
  message(FATAL_ERROR "The web view poll call to patch was not found in ${_corvana_webview_file}.")
endif()
string(REPLACE "${_corvana_poll_pattern}"
  "result = poll (&pfds.front(), static_cast<nfds_t> (pfds.size()), 10);"
  _corvana_webview_text "${_corvana_webview_text}")
file(WRITE "${_corvana_webview_file}" "${_corvana_webview_text}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${CORVANA_JUCE_MODULES_DIR}/juce_gui_extra/native/juce_linux_X11_WebBrowserComponent.cpp")

add_library(corvana_juce_gui STATIC
  "${CORVANA_JUCE_MODULES_DIR}/juce_graphics/juce_graphics.cpp"
  "${CORVANA_JUCE_MODULES_DIR}/juce_gui_basics/juce_gui_basics.cpp"
  "${_corvana_patched_dir}/juce_gui_extra/juce_gui_extra.cpp")
target_link_libraries(corvana_juce_gui
  PUBLIC corvana_juce
  PRIVATE juce::pkgconfig_JUCE_BROWSER_LINUX_DEPS juce::pkgconfig_JUCE_IMG_LINUX_DEPS
          juce::pkgconfig_juce_graphics_LINUX_DEPS)
target_compile_definitions(corvana_juce_gui PUBLIC
  JUCE_MODULE_AVAILABLE_juce_graphics=1
  JUCE_MODULE_AVAILABLE_juce_gui_basics=1
  JUCE_MODULE_AVAILABLE_juce_gui_extra=1
  JUCE_WEB_BROWSER=1)
# The web view's helper process loads GTK and WebKit itself; the libraries are
# linked so that a missing runtime shows at start, not as a blank window.
target_link_libraries(corvana_juce_gui INTERFACE juce::pkgconfig_JUCE_BROWSER_LINUX_DEPS
  juce::pkgconfig_JUCE_IMG_LINUX_DEPS juce::pkgconfig_juce_graphics_LINUX_DEPS)
set_target_properties(corvana_juce_gui PROPERTIES POSITION_INDEPENDENT_CODE ON)
