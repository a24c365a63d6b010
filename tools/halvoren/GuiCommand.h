#pragma once
// "halvoren gui": the stream's controller panel beside its camera views, in a window.

#include "halvoren/StreamSetup.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

struct GuiOptions : StreamSetup {
    GuiOptions() { images = true; }
    std::string screenshot;     // render the window into this PNG file, then exit
    std::uint64_t frames = 60;  // frames before the screenshot
};

/// Parses the options after "gui". On failure returns nothing and sets the error text.
std::optional<GuiOptions> parseGuiOptions(const std::vector<std::string>& args, std::string& error);
std::string guiUsage();

/// Opens the camera, starts the stream and shows the window until it is closed; returns the exit code.
/// Needs a QApplication.
int runGui(const GuiOptions& options, std::ostream& err);

}  // namespace Halvoren::App
