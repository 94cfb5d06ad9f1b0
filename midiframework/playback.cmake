# Playback support: the MIDI output port and the precision timer. Static and
# position-independent so that it can be built into the control module and
# linked into tools and tests alike.
add_library(midiframework_playback STATIC
  ${CMAKE_CURRENT_LIST_DIR}/midioutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer.cpp)
set_target_properties(midiframework_playback PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(midiframework_playback PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(midiframework_playback
  PUBLIC platform::midi platform::clock platform::thread
  PRIVATE platform::notice project_warnings)
