# KxReg: readers of the runtime's directories, ids and path placeholders, on top of the registry.
add_library(KxReg STATIC ${CMAKE_CURRENT_LIST_DIR}/KxReg.cpp ${CMAKE_CURRENT_LIST_DIR}/OsKxCatReg.cpp)
target_include_directories(KxReg PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(KxReg PUBLIC KxOsRegistry KxHop KxString KxWinTypes)

# The readers' tests share the registry tests' temporary-store fixture.
set(KX_REGISTRY_TEST_SUPPORT ${CMAKE_CURRENT_LIST_DIR}/../SDK/Src/platform/KxOs/KxOsRegistry/tests)
kx_add_test(KxRegTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/KxRegTest.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/KxRegCatTest.cpp
            ${KX_REGISTRY_TEST_SUPPORT}/RegistryTestSupport.cpp
    LIBS KxReg pugixml::pugixml)
