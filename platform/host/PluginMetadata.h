#pragma once
// What a plug-in module says about itself before any of its code runs: an ELF section named
// "halvoren_plugin" holding the descriptor text and the plug-in id, each ended by a NUL. The loader reads it
// straight from the file, so that a module built for another host is refused without being opened (opening
// runs its static constructors in the host). A module emits it from one source file:
//     __attribute__((section("halvoren_plugin"), used))
//     const char metadata[] = "<descriptor>" "\0" "<plug-in id>";

#include <string>

namespace Halvoren {

struct PluginMetadata {
    static constexpr const char* kSectionName = "halvoren_plugin";

    std::string descriptor;
    std::string id;

    /// Reads the section of a 64-bit ELF file of this byte order. Every offset and size is checked
    /// against the file's size. False, with the reason, when the file cannot be read, is not such a file,
    /// is truncated or malformed, or carries no well-formed section.
    static bool read(const std::string& file, PluginMetadata& metadata, std::string& reason);
};

}  // namespace Halvoren
