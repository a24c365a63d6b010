#include "WorkspaceFile.h"

#include "text/BoundedFile.h"
#include "text/Text.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <sys/stat.h>

#include <climits>

namespace Halvoren::WorkspaceFile {

namespace {

// Blocks nest a handful of levels deep in real workspaces; the limit keeps a hostile or corrupt file from
// exhausting the stack of the recursive reader.
constexpr int kMaxBlockDepth = 256;

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// The workspace version as conversions compare it: digits only, within an int. Anything else would be
// read as some other version and get the wrong conversions, or none.
bool checkWorkspaceVersion(const Properties& root, std::string& error) {
    for (const auto& [key, value] : root.attributes()) {
        if (key != "workspaceVersion") {
            continue;
        }
        int number = 0;
        if (value.empty() || value.front() == '+' || value.front() == '-' ||
            !Text::parseInteger(value, number)) {
            error = "workspace version '" + value + "' is not a whole number from 0 to " +
                    std::to_string(INT_MAX);
            return false;
        }
    }
    return true;
}

// An integer attribute as Qt reads one: blanks at either end and a sign allowed.
bool integerAttribute(const QStringRef& value, int& number) {
    return Text::parseInteger(Text::trim(value.toString().toStdString()), number);
}

void writeAttributes(QXmlStreamWriter& w, const Properties::Attributes& attributes) {
    for (const auto& [key, value] : attributes) {
        w.writeStartElement("attribute");
        w.writeAttribute("key", q(key));
        w.writeAttribute("value", q(value));
        w.writeEndElement();
    }
}

void writeBlock(QXmlStreamWriter& w, const Properties& block) {
    w.writeStartElement("properties");
    w.writeAttribute("name", q(block.name()));
    writeAttributes(w, block.attributes());
    for (const Properties::Param& param : block.params()) {
        w.writeStartElement("param");
        w.writeAttribute("name", q(param.name));
        if (param.type != 0) {
            w.writeAttribute("type", QString::number(param.type));
        }
        w.writeAttribute("value", q(param.value));
        if (param.defaultValue) {
            w.writeAttribute("default", q(*param.defaultValue));
        }
        writeAttributes(w, param.attributes);
        w.writeEndElement();
    }
    for (const Properties* child : block.subProperties()) {
        writeBlock(w, *child);
    }
    w.writeEndElement();
}

class Parser {
public:
    explicit Parser(const std::string& text) : m_reader(QByteArray::fromStdString(text)) {}

    bool parse(Properties& root, int& version, std::string& error) {
        if (!nextElement() || m_reader.name() != QLatin1String("workspace")) {
            return fail("expected a <workspace> element", error);
        }
        if (!integerAttribute(m_reader.attributes().value("version"), version) || version < 1) {
            return fail("the workspace has no valid format version", error);
        }
        if (version > kFormatVersion) {
            return fail("format version " + std::to_string(version) + " is newer than this program reads (" +
                            std::to_string(kFormatVersion) + ")",
                        error);
        }
        if (!nextElement() || m_reader.name() != QLatin1String("properties")) {
            return fail("expected the <properties> root block", error);
        }
        if (!readBlock(root, 1, error)) {
            return false;
        }
        // Nothing but the end of the workspace may follow.
        while (!m_reader.atEnd()) {
            m_reader.readNext();
            if (m_reader.isStartElement()) {
                return fail("unexpected element <" + m_reader.name().toString().toStdString() + ">", error);
            }
        }
        if (m_reader.hasError()) {
            return fail(m_reader.errorString().toStdString(), error);
        }
        return true;
    }

private:
    bool nextElement() {
        while (!m_reader.atEnd()) {
            m_reader.readNext();
            if (m_reader.isStartElement()) {
                return true;
            }
        }
        return false;
    }

    bool fail(const std::string& what, std::string& error) {
        std::string reason = what;
        if (m_reader.hasError()) {
            reason = m_reader.errorString().toStdString();
        }
        error = "line " + std::to_string(m_reader.lineNumber()) + ": " + reason;
        return false;
    }

    bool readAttribute(Properties::Attributes& out, std::string& error) {
        const auto a = m_reader.attributes();
        if (!a.hasAttribute("key") || !a.hasAttribute("value")) {
            return fail("an <attribute> needs a key and a value", error);
        }
        out.emplace_back(a.value("key").toString().toStdString(), a.value("value").toString().toStdString());
        m_reader.skipCurrentElement();
        return !m_reader.hasError() || fail("", error);
    }

    bool readParam(Properties& block, std::string& error) {
        const auto a = m_reader.attributes();
        if (!a.hasAttribute("name") || !a.hasAttribute("value")) {
            return fail("a <param> needs a name and a value", error);
        }
        const std::string name = a.value("name").toString().toStdString();
        block.setParam(name, a.value("value").toString().toStdString());
        Properties::Param* param = block.findParam(name);
        // Kept for messages about the value, such as a parameter refusing it.
        param->line = static_cast<int>(m_reader.lineNumber());
        if (a.hasAttribute("type")) {
            if (!integerAttribute(a.value("type"), param->type)) {
                return fail("the type of parameter '" + name + "' is not a number", error);
            }
        }
        if (a.hasAttribute("default")) {
            param->defaultValue = a.value("default").toString().toStdString();
        }
        Properties::Attributes attributes;
        while (m_reader.readNextStartElement()) {
            if (m_reader.name() != QLatin1String("attribute")) {
                return fail(
                    "unexpected element <" + m_reader.name().toString().toStdString() + "> in a parameter",
                    error);
            }
            if (!readAttribute(attributes, error)) {
                return false;
            }
        }
        if (m_reader.hasError()) {
            return fail("", error);
        }
        param->attributes = attributes;
        return true;
    }

    bool readBlock(Properties& block, int depth, std::string& error) {
        if (depth > kMaxBlockDepth) {
            return fail("blocks nested deeper than " + std::to_string(kMaxBlockDepth) + " levels", error);
        }
        block.setName(m_reader.attributes().value("name").toString().toStdString());
        Properties::Attributes attributes;
        while (m_reader.readNextStartElement()) {
            const auto name = m_reader.name();
            bool ok = true;
            if (name == QLatin1String("attribute")) {
                ok = readAttribute(attributes, error);
            } else if (name == QLatin1String("param")) {
                ok = readParam(block, error);
            } else if (name == QLatin1String("properties")) {
                ok = readBlock(*block.addSubProperties(std::string()), depth + 1, error);
            } else {
                return fail("unexpected element <" + name.toString().toStdString() + ">", error);
            }
            if (!ok) {
                return false;
            }
        }
        if (m_reader.hasError()) {
            return fail("", error);
        }
        block.setAttributes(attributes);
        return true;
    }

    QXmlStreamReader m_reader;
};

}  // namespace

std::string toText(const Properties& root) {
    QByteArray bytes;
    QXmlStreamWriter w(&bytes);
    w.setAutoFormatting(true);
    w.setAutoFormattingIndent(2);
    w.writeStartDocument();
    w.writeStartElement("workspace");
    w.writeAttribute("version", QString::number(kFormatVersion));
    writeBlock(w, root);
    w.writeEndElement();
    w.writeEndDocument();
    return bytes.toStdString();
}

bool fromText(const std::string& text, Properties& out, std::string& error, int* version) {
    Properties parsed;
    int fileVersion = 0;
    Parser parser(text);
    if (!parser.parse(parsed, fileVersion, error)) {
        return false;
    }
    out = parsed;
    if (version != nullptr) {
        *version = fileVersion;
    }
    return true;
}

bool save(const Properties& root, const std::string& path, std::string& error) {
    // The temporary file is renamed over the target: that would turn a FIFO or a device into a regular
    // file. Symbolic links are followed, as the rename replaces what they point to.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        error = "cannot write " + path + ": it is " +
                (S_ISDIR(status.st_mode) ? "a folder" : "not a regular file") +
                ", and only a regular file is replaced";
        return false;
    }
    QSaveFile file(q(path));
    if (!file.open(QIODevice::WriteOnly)) {
        error = "cannot write " + path + ": " + file.errorString().toStdString();
        return false;
    }
    const std::string text = toText(root);
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        error = "cannot write " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

bool readText(const std::string& path, std::string& text, std::string& error) {
    BoundedFile::Result read = BoundedFile::read(path, kMaxFileBytes);
    if (read.outcome != BoundedFile::Outcome::Read) {
        error = BoundedFile::message(read, path, kMaxFileBytes);
        if (read.outcome == BoundedFile::Outcome::TooLarge) {
            error += ": not a workspace";
        } else if (read.outcome == BoundedFile::Outcome::Folder) {
            error += ", not a workspace file";
        }
        return false;
    }
    text = std::move(read.text);
    return true;
}

bool loadText(const std::string& text, const std::string& path, Properties& out, std::string& error,
              int* version, std::vector<WorkspaceConversionRegistry::Report>* conversions) {
    Properties parsed;
    int fileVersion = 0;
    if (!fromText(text, parsed, error, &fileVersion) || !checkWorkspaceVersion(parsed, error)) {
        error = path + ": " + error;
        return false;
    }
    std::vector<WorkspaceConversionRegistry::Report> ran =
        WorkspaceConversionRegistry::instance().convert(parsed, Filesystem::Path(path));
    out = parsed;
    if (version != nullptr) {
        *version = fileVersion;
    }
    if (conversions != nullptr) {
        *conversions = std::move(ran);
    }
    return true;
}

bool load(const std::string& path, Properties& out, std::string& error, int* version,
          std::vector<WorkspaceConversionRegistry::Report>* conversions) {
    std::string text;
    return readText(path, text, error) && loadText(text, path, out, error, version, conversions);
}

}  // namespace Halvoren::WorkspaceFile
