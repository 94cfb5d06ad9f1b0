# The song model: reading Standard MIDI Files into tracks of events, and the
# text dump of tracks and events. Static and position-independent so that it
# can be built into the control module and linked into tools and tests alike.
add_library(midiframework_song STATIC
  ${CMAKE_CURRENT_LIST_DIR}/midifile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/miditrack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TrackContainer.cpp)
set_target_properties(midiframework_song PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(midiframework_song PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(midiframework_song PUBLIC platform::notice PRIVATE project_warnings)
