// Workspaces are edited by hand and written by other versions: any text must load or be refused with a
// reason, and a workspace that loads must save to a text that loads to the same tree.
#include "host/Log.h"
#include "host/Properties.h"
#include "host/WorkspaceFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        Halvoren::Log::setStderrEnabled(false);
        return true;
    }();
    static_cast<void>(quiet);
    using namespace Halvoren;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Properties loaded;
    std::string error;
    if (!WorkspaceFile::fromText(text, loaded, error)) {
        if (error.empty()) {
            std::fputs("refused without a reason\n", stderr);
            std::abort();
        }
        return 0;
    }
    const std::string saved = WorkspaceFile::toText(loaded);
    Properties reloaded;
    if (!WorkspaceFile::fromText(saved, reloaded, error)) {
        std::fprintf(stderr, "a saved workspace does not load: %s\n%s\n", error.c_str(), saved.c_str());
        std::abort();
    }
    if (!(reloaded == loaded)) {
        std::fprintf(stderr, "a saved workspace loads to another tree:\n%s\n", saved.c_str());
        std::abort();
    }
    return 0;
}
