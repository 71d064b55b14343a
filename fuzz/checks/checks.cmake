# The checks the fuzz targets run on an input, one library per target. Shared by the fuzz
# targets and by the test that replays kept inputs in the normal build.
if(TARGET larkspin_fuzzcheck_xspf)
    return()
endif()

set(_checks ${CMAKE_CURRENT_LIST_DIR})
foreach(_check xspf filename mp3 catalog robots links subsonic)
    add_library(larkspin_fuzzcheck_${_check} STATIC
        ${_checks}/fuzzcheck.h ${_checks}/${_check}check.h ${_checks}/${_check}check.cpp)
    set_target_properties(larkspin_fuzzcheck_${_check} PROPERTIES AUTOMOC OFF AUTOUIC OFF)
    target_include_directories(larkspin_fuzzcheck_${_check} PUBLIC ${_checks})
    target_link_libraries(larkspin_fuzzcheck_${_check} PRIVATE larkspin_flags)
endforeach()
target_link_libraries(larkspin_fuzzcheck_xspf PUBLIC larkspin_search larkspin_catalog_all
    Qt6::Core Qt6::Xml)
target_link_libraries(larkspin_fuzzcheck_filename PUBLIC larkspin_tracks Qt6::Core)
target_link_libraries(larkspin_fuzzcheck_mp3 PUBLIC larkspin_playback)
target_link_libraries(larkspin_fuzzcheck_catalog PUBLIC larkspin_catalog_all)
target_link_libraries(larkspin_fuzzcheck_robots PUBLIC larkspin_catalog_all)
target_link_libraries(larkspin_fuzzcheck_links PUBLIC larkspin_catalog_all)
target_link_libraries(larkspin_fuzzcheck_subsonic PUBLIC larkspin_catalog_all)
