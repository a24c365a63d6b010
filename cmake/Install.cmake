# What `cmake --install` installs, in the layout cmake/InstallLayout.cmake describes: the application and
# the OpenIGTLink client, the libraries they and the plug-in load, the plug-in module, the example data and
# the documentation. Tests, benchmarks, fuzzers
# and the simulator's control interface stay in the build tree.

set_target_properties(halvoren PROPERTIES INSTALL_RPATH "$ORIGIN/${HALVOREN_BINDIR_TO_LIBDIR}")
set_target_properties(AtracsysTrackingSpryTrack PROPERTIES INSTALL_RPATH "$ORIGIN/${HALVOREN_PLUGINDIR_TO_LIBDIR}")

install(TARGETS halvoren igtl_receive_client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS HalvorenHost fusionTrack64 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS AtracsysTrackingSpryTrack LIBRARY DESTINATION ${HALVOREN_INSTALL_PLUGINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/markers ${PROJECT_SOURCE_DIR}/data/cameras
                  ${PROJECT_SOURCE_DIR}/data/workspaces DESTINATION ${HALVOREN_INSTALL_DATADIR})
# README's links into docs/ hold in the installed copy too: the folder keeps its name beside it.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${HALVOREN_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${HALVOREN_INSTALL_DOCDIR})
