# KxReg: readers of the runtime's directories, ids and path placeholders, on top of the registry.
set(KXREG_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/KxReg.cpp)
# The CString-based readers join once the counted string is there.
if(EXISTS ${PROJECT_SOURCE_DIR}/SDK/Include/KxString.h)
    list(APPEND KXREG_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/OsKxCatReg.cpp)
endif()

add_library(KxReg STATIC ${KXREG_SOURCES})
target_include_directories(KxReg PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KxReg PUBLIC KxOsRegistry KxHop KxWinTypes)
if(EXISTS ${PROJECT_SOURCE_DIR}/SDK/Include/KxString.h)
    target_link_libraries(KxReg PUBLIC KxString)
endif()

