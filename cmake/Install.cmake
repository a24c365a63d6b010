# What `cmake --install` installs, in the layout cmake/InstallLayout.cmake describes: the application, the
# libraries it and the plug-in load, the plug-in module and the example data. Tests, benchmarks, fuzzers
# and the simulator's control interface stay in the build tree.

set_target_properties(halvoren PROPERTIES INSTALL_RPATH "$ORIGIN/${HALVOREN_BINDIR_TO_LIBDIR}")
set_target_properties(AtracsysTrackingSpryTrack PROPERTIES INSTALL_RPATH "$ORIGIN/${HALVOREN_PLUGINDIR_TO_LIBDIR}")

install(TARGETS halvoren RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS HalvorenHost fusionTrack64 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS AtracsysTrackingSpryTrack LIBRARY DESTINATION ${HALVOREN_INSTALL_PLUGINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/markers ${PROJECT_SOURCE_DIR}/data/cameras
                  ${PROJECT_SOURCE_DIR}/data/workspaces DESTINATION ${HALVOREN_INSTALL_DATADIR})
