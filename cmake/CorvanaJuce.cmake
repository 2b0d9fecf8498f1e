# The JUCE modules are compiled once, into one static library that every
# target links, instead of once per executable.
add_library(corvana_juce STATIC)
target_link_libraries(corvana_juce
  PRIVATE
    juce::juce_core
    juce::juce_events
    juce::juce_data_structures
    juce::juce_audio_basics
    juce::juce_audio_devices
    juce::juce_audio_formats
    juce::juce_dsp)

target_compile_definitions(corvana_juce PUBLIC
  JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_DISPLAY_SPLASH_SCREEN=0
  JUCE_USE_CURL=0
  JUCE_USE_FLAC=0
  JUCE_USE_OGGVORBIS=0
  JUCE_USE_MP3AUDIOFORMAT=0
  JUCE_ALSA=1
  JUCE_JACK=1
  JUCE_JACK_CLIENT_NAME="Corvana")

# Consumers see the module headers as system headers so that our warning set
# applies to our code only.
target_include_directories(corvana_juce SYSTEM INTERFACE
  $<TARGET_PROPERTY:corvana_juce,INCLUDE_DIRECTORIES>)
target_compile_definitions(corvana_juce INTERFACE
  $<TARGET_PROPERTY:corvana_juce,COMPILE_DEFINITIONS>)
set_target_properties(corvana_juce PROPERTIES POSITION_INDEPENDENT_CODE ON)
