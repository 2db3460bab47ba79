# The front end: registry, plugin handler, the C exports and the loaded library.
kivra_add_test(test_frontend
  ${CMAKE_CURRENT_LIST_DIR}/test_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_handler.cpp)
