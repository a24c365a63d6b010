#pragma once
// Runs the application as a separate process and collects what it wrote.

#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

struct AppRun {
    int exitCode = -1;  // -1 when it crashed or did not finish
    std::string out;
    std::string err;
};

inline AppRun runApp(const QStringList& args,
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(HALVOREN_APP_PATH), args);
    AppRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "halvoren did not finish";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

/// Runs the application once for each call, `atOnce` at a time, and gives each run's result in the order
/// of the calls. For runs that take their time in real time (a touching scene): what they write
/// must fit a pipe's buffer, as a run waits for the others.
struct AppCall {
    QStringList args;
    QProcessEnvironment env;
};

inline std::vector<AppRun> runApps(const std::vector<AppCall>& calls, std::size_t atOnce) {
    std::vector<AppRun> runs;
    for (std::size_t first = 0; first < calls.size(); first += atOnce) {
        std::vector<std::unique_ptr<QProcess>> batch;
        for (std::size_t i = first; i < std::min(calls.size(), first + atOnce); ++i) {
            batch.push_back(std::make_unique<QProcess>());
            batch.back()->setProcessEnvironment(calls[i].env);
            batch.back()->start(QStringLiteral(HALVOREN_APP_PATH), calls[i].args);
        }
        for (auto& process : batch) {
            AppRun run;
            if (process->waitForFinished(120000)) {
                run.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
            } else {
                process->kill();
                process->waitForFinished();
                ADD_FAILURE() << "halvoren did not finish";
            }
            run.out = process->readAllStandardOutput().toStdString();
            run.err = process->readAllStandardError().toStdString();
            runs.push_back(std::move(run));
        }
    }
    return runs;
}

/// Collects the running process's standard error into `err` until it holds `text`; false when the
/// process ends or the (generous) deadline passes first.
inline bool waitForErrorText(QProcess& process, const std::string& text, std::string& err,
                             int timeoutMs = 60000) {
    process.setReadChannel(QProcess::StandardError);
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        err += process.readAllStandardError().toStdString();
        if (err.find(text) != std::string::npos) {
            return true;
        }
        if (process.state() == QProcess::NotRunning || deadline.hasExpired()) {
            return false;
        }
        process.waitForReadyRead(200);
    }
}

/// Starts the application and waits for the port it serves on; 0 when it did not say.
inline int startServing(QProcess& app, const QStringList& args) {
    app.setReadChannel(QProcess::StandardError);
    app.start(QStringLiteral(HALVOREN_APP_PATH), args);
    QByteArray err;
    const QRegularExpression served("serving OpenIGTLink on .*, port (\\d+)");
    while (app.waitForReadyRead(30000) || app.state() == QProcess::Running) {
        err += app.readAllStandardError();
        const auto match = served.match(QString::fromUtf8(err));
        if (match.hasMatch()) {
            return match.captured(1).toInt();
        }
        if (app.state() != QProcess::Running) {
            break;
        }
    }
    ADD_FAILURE() << "no port announced: " << err.toStdString();
    return 0;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

}  // namespace TestSupport
