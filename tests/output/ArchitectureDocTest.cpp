// docs/architecture.md's tables of threads and hand-overs describe the code: whatever they name exists, and
// every thread the code starts, every output of a run and every other queue from the worker is in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

/// The source files of the product, by path.
std::map<fs::path, std::string> productSources() {
    std::map<fs::path, std::string> sources;
    for (const char* folder : {"platform", "sdk", "geometry", "stream", "gui", "plugin", "tools"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(HALVOREN_SOURCE_DIR) / folder)) {
            const std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() && (extension == ".h" || extension == ".cpp")) {
                sources[entry.path()] = readFile(entry.path());
            }
        }
    }
    return sources;
}

/// The table rows (lines starting with '|') from the threads section to the clocks section.
std::string tableRows(const std::string& document) {
    const std::size_t from = document.find("## Threads");
    const std::size_t to = document.find("## Clocks");
    std::istringstream section(document.substr(from, to - from));
    std::string rows;
    for (std::string line; std::getline(section, line);) {
        if (line.rfind('|', 0) == 0) {
            rows += line + '\n';
        }
    }
    return rows;
}

bool identifierChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

/// Whether a class or struct of this name is defined (not only declared) in the sources.
bool defined(const std::map<fs::path, std::string>& sources, const std::string& name) {
    for (const auto& [path, text] : sources) {
        for (const char* keyword : {"class ", "struct "}) {
            const std::string declaration = keyword + name;
            for (std::size_t at = text.find(declaration); at != std::string::npos;
                 at = text.find(declaration, at + 1)) {
                const std::size_t end = at + declaration.size();
                const std::size_t body = text.find_first_of(";{", end);  // a definition, not a mention
                if (end < text.size() && !identifierChar(text[end]) && body != std::string::npos &&
                    text[body] == '{') {
                    return true;
                }
            }
        }
    }
    return false;
}

/// The classes deriving from FrameOutput in this source text.
std::vector<std::string> frameOutputClasses(const std::string& text) {
    std::vector<std::string> classes;
    for (const char* base : {" : public Output::FrameOutput ", " : public FrameOutput "}) {
        for (std::size_t at = text.find(base); at != std::string::npos; at = text.find(base, at + 1)) {
            std::size_t begin = at;
            while (begin > 0 && identifierChar(text[begin - 1])) {
                --begin;
            }
            classes.push_back(text.substr(begin, at - begin));
        }
    }
    return classes;
}

/// Names between backquotes that start with a capital letter: the classes the tables name.
std::set<std::string> classesNamed(const std::string& rows) {
    std::set<std::string> names;
    for (std::size_t open = rows.find('`'); open != std::string::npos; open = rows.find('`', open + 1)) {
        const std::size_t close = rows.find('`', open + 1);
        if (close == std::string::npos) {
            break;
        }
        const std::string name = rows.substr(open + 1, close - open - 1);
        if (!name.empty() && std::isupper(static_cast<unsigned char>(name[0])) != 0 &&
            std::all_of(name.begin(), name.end(), identifierChar)) {
            names.insert(name);
        }
        open = close;
    }
    return names;
}

}  // namespace

TEST(ArchitectureDoc, TheTablesOfThreadsAndHandOversNameWhatTheCodeHasAndAllOfIt) {
    const std::string rows = tableRows(readFile(fs::path(HALVOREN_SOURCE_DIR) / "docs/architecture.md"));
    ASSERT_NE(rows.find("| thread |"), std::string::npos) << "docs/architecture.md has no table of threads";
    ASSERT_NE(rows.find("| output |"), std::string::npos) << "docs/architecture.md has no table of outputs";
    const auto sources = productSources();

    // Every class named in the tables exists.
    const std::set<std::string> inTables = classesNamed(rows);
    EXPECT_GE(inTables.size(), 15u);
    for (const std::string& name : inTables) {
        EXPECT_TRUE(defined(sources, name)) << name << " is in the tables but not in the code";
    }

    // Every thread started, every output of a run and every other queue is named in them, by its class
    // (for a thread, the one whose file starts it).
    std::set<std::string> named;
    for (const auto& [path, text] : sources) {
        const std::string file = path.stem().string();
        if (text.find("std::thread(") != std::string::npos ||
            text.find("std::vector<std::thread>") != std::string::npos) {
            named.insert(file);
        }
        if (text.find("OutputQueue<") != std::string::npos && path.extension() == ".h" &&
            file != "OutputQueue" && file != "FrameOutput" && file != "OutputHub") {
            named.insert(file);
        }
        for (const std::string& output : frameOutputClasses(text)) {
            named.insert(output);
        }
    }
    EXPECT_GE(named.size(), 15u);  // the search found what it looks for
    for (const std::string& name : named) {
        EXPECT_NE(rows.find('`' + name + '`'), std::string::npos) << name << " is missing from the tables";
    }
}
