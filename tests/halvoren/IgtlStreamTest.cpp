// halvoren stream serving OpenIGTLink, received by the example client while the poses go to CSV.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QProcess>
#include <QRegularExpression>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using TestSupport::lines;

namespace {}  // namespace

TEST(IgtlStream, TheExampleClientReceivesEveryMarkerAsWrittenToCsv) {
    TestSupport::TempFiles files;
    const std::string csv = files.path("poses.csv");
    QProcess app;
    const int port = TestSupport::startServing(
        app, {"stream", "--igtl-port", "0", "--igtl-host", "127.0.0.1", "--igtl-max-clients", "1", "--frames",
              "0", "--duration", "4", "--images", "--output", QString::fromStdString(csv)});
    ASSERT_GT(port, 0);

    QProcess client;
    client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                 {"127.0.0.1", QString::number(port), "--seconds", "1.5"});
    ASSERT_TRUE(client.waitForReadyRead(30000));  // connected: it prints what it receives
    // One more than --igtl-max-clients allows is told so, and counted in the summary.
    QProcess refused;
    refused.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                  {"127.0.0.1", QString::number(port), "--messages", "1"});
    ASSERT_TRUE(refused.waitForFinished(30000));
    ASSERT_TRUE(client.waitForFinished(30000));
    EXPECT_EQ(client.exitCode(), 0);
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(app.exitCode(), 0);
    const std::string err = app.readAllStandardError().toStdString();
    EXPECT_NE(err.find("OpenIGTLink clients 2\n"), std::string::npos) << err;
    EXPECT_NE(err.find("refused: at the limit of 1 clients\n"), std::string::npos) << err;
    EXPECT_NE(refused.readAllStandardOutput().toStdString().find("STATUS"), std::string::npos);

    // name and time stamp -> x, y, z as written to CSV.
    std::map<std::pair<std::string, std::string>, std::vector<double>> written;
    std::ifstream in(csv);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) {
            f.push_back(field);
        }
        if (f.size() == 14 && f[0] != "timestamp" && std::stod(f[3]) > 0.0) {
            written[{f[2], f[0]}] = {std::stod(f[4]), std::stod(f[5]), std::stod(f[6])};
        }
    }
    ASSERT_FALSE(written.empty());

    std::set<std::string> transforms;
    std::set<std::string> tracked;
    int compared = 0;
    for (const std::string& line : lines(client.readAllStandardOutput().toStdString())) {
        std::istringstream words(line);
        std::string type, device, stamp;
        words >> type >> device;
        if (type == "TRANSFORM") {
            words >> stamp;
            std::vector<double> m(12);
            for (double& v : m) {
                words >> v;
            }
            transforms.insert(device);
            const auto row = written.find({device, stamp});
            ASSERT_NE(row, written.end()) << line;
            EXPECT_NEAR(m[3], row->second[0], 1e-3) << line;
            EXPECT_NEAR(m[7], row->second[1], 1e-3) << line;
            EXPECT_NEAR(m[11], row->second[2], 1e-3) << line;
            ++compared;
        } else if (line.rfind("  ", 0) == 0) {
            tracked.insert(type);  // an element line of a TDATA message: "  <name> <pose>"
        }
    }
    EXPECT_EQ(transforms, (std::set<std::string>{"pointer", "reference", "tool"}));
    EXPECT_EQ(tracked, transforms);
    EXPECT_GT(compared, 30);
}

TEST(IgtlStream, TheExampleClientRefusesAWrongCommandLineWithItsUsage) {
    const std::vector<std::pair<QStringList, std::string>> rows = {
        {{}, "igtl_receive_client: HOST is required"},
        {{"127.0.0.1", "0x10"}, "igtl_receive_client: PORT: takes a port number from 1 to 65535, not '0x10'"},
        {{"127.0.0.1", "18944", "--seconds", "0"}, "--seconds: takes a number of seconds above 0, not '0'"},
        {{"127.0.0.1", "18944", "--messages", "1.5"},
         "--messages: takes a whole number of messages from 0 up, not '1.5'"},
        {{"127.0.0.1", "18944", "--message", "1"}, "igtl_receive_client: The following argument"},
    };
    for (const auto& [args, refusal] : rows) {
        QProcess client;
        client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH), args);
        ASSERT_TRUE(client.waitForFinished(30000));
        const std::string err = client.readAllStandardError().toStdString();
        EXPECT_EQ(client.exitCode(), 2) << err;
        EXPECT_NE(err.find(refusal), std::string::npos) << err;
        EXPECT_NE(err.find("Usage: igtl_receive_client [OPTIONS] HOST PORT"), std::string::npos) << err;
        EXPECT_EQ(client.readAllStandardOutput().toStdString(), "") << refusal;
    }
}
