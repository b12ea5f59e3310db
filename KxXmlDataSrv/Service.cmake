# Message threads: the workers of the job engine.
add_library(KxMessageThread STATIC MessageThread.cpp)
target_include_directories(KxMessageThread PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KxMessageThread PUBLIC KxPlatform KxWinTypes)
kx_add_test(MessageThreadTest SOURCES tests/MessageThreadTest.cpp LIBS KxMessageThread)
