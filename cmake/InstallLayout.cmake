# Where `cmake --install` puts things, in the GNU folders under the prefix:
#     <bindir>/halvoren, halvoren-igtl-client          the application and the OpenIGTLink client
#     <libdir>/libHalvorenHost.so, libfusionTrack64.so  the host and the driver
#     <libdir>/halvoren/plugins/                       the plug-in module
#     <datadir>/halvoren/{markers,cameras,workspaces}  the example data
#     <datadir>/doc/halvoren/{README.md,docs/}         the documentation
# The installed files find each other relative to their own place ($ORIGIN RPATHs, and folders relative
# to the application), so the tree works wherever it is installed and may be moved as a whole.
include(GNUInstallDirs)

set(HALVOREN_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/halvoren/plugins)
set(HALVOREN_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/halvoren)
set(HALVOREN_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvoren)

# The same folders seen from the application's folder. Computed on the full paths, so that they hold
# for any prefix given to `cmake --install` when the GNU folders are relative (as they are by default).
set(plugindir ${CMAKE_INSTALL_FULL_LIBDIR}/halvoren/plugins)
file(RELATIVE_PATH HALVOREN_BINDIR_TO_LIBDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH HALVOREN_BINDIR_TO_PLUGINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${plugindir})
file(RELATIVE_PATH HALVOREN_BINDIR_TO_DATADIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/halvoren)
file(RELATIVE_PATH HALVOREN_PLUGINDIR_TO_LIBDIR ${plugindir} ${CMAKE_INSTALL_FULL_LIBDIR})
string(REGEX REPLACE "/$" "" HALVOREN_PLUGINDIR_TO_LIBDIR "${HALVOREN_PLUGINDIR_TO_LIBDIR}")

# Libraries found outside the system's folders (Qt, OpenIGTLink in a prefix of their own) stay found
# from the installed tree.
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH ON)
