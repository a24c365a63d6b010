#pragma once
// "halvoren gui": the stream's controller panel beside its camera views, in a window.

#include "halvoren/session/StreamSetup.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace Halvoren::App {

struct GuiOptions : StreamSetup {
    GuiOptions() { images = true; }
    std::string screenshot;     // render the window into this PNG file, then exit
    std::uint64_t frames = 60;  // frames before the screenshot
};

/// Opens the camera, starts the stream and shows the window until it is closed; returns the exit code.
/// Messages go to `err`; nothing goes to `out`. Needs a QApplication.
int runGui(const GuiOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App
