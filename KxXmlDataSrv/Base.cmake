# KxStream: memory and file streams. KxTracer: the process-wide log file.
add_library(KxStream STATIC ${CMAKE_CURRENT_LIST_DIR}/KxStream.cpp)
target_include_directories(KxStream PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(KxStream PUBLIC KxPlatform KxWinTypes)

kx_add_test(StreamTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/StreamMemoryTest.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/StreamFileTest.cpp
    LIBS KxStream)

add_library(KxTracer STATIC ${CMAKE_CURRENT_LIST_DIR}/FileTracer.cpp)
target_include_directories(KxTracer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(KxTracer PUBLIC KxStream KxPlatform KxWinTypes)

kx_add_test(FileTracerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/FileTracerTest.cpp LIBS KxTracer)
