add_test(NAME packaging_deb
         COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/test_deb.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(packaging_deb PROPERTIES TIMEOUT 300)
