#pragma once

#include "Configurable.h"
#include "DataList.h"
#include "OwningDataList.h"

#include <string>
#include <vector>

namespace Halvoren {

/// Something the host runs on data: configured through its parameters, then run; the status tells how the
/// last run went, and takeOutput() hands over what the run produced.
class Algorithm : public Configurable {
public:
    enum Status { Success = 0, Error = 1 };
    /// How the algorithm relates to data outside the host.
    enum IoMode { NoIo = 0, Input = 1, Output = 2 };

    /// What the factory that made the algorithm knows about it.
    struct FactoryInfo {
        std::string name;       // full registered name, e.g. "Vendor.Algorithm"
        std::string shortName;  // last piece of the category
        DataList input;         // the data the algorithm was created for (not owned)
    };

    Algorithm() = default;
    ~Algorithm() override;

    void setFactoryInfo(const FactoryInfo& info) { m_factoryInfo = info; }
    const FactoryInfo& factoryInfo() const { return m_factoryInfo; }

    /// Sets every registered parameter that has a default back to it.
    virtual void configureDefaults();

    /// Does the algorithm's work; the outcome is reported by status().
    virtual void run() = 0;
    /// Hands over what the last run produced; the caller owns it. Empty by default.
    virtual OwningDataList takeOutput();

    /// Progress of a running algorithm, 0 to 1; the host shows it.
    virtual void setProgress(double fraction) { m_progress = fraction; }
    double progress() const { return m_progress; }

    /// Success (0) until a run fails; the host's codes otherwise.
    virtual int status() const { return m_status; }
    /// Whether the algorithm may live on when some of its input data are deleted.
    virtual bool survivesDataDeletion(const DataList& /*deleted*/) const { return false; }
    virtual int ioMode() const { return NoIo; }
    /// File extensions (without the dot, lower case) that an input or output algorithm handles.
    virtual std::vector<std::string> supportedFileExtensions() const { return {}; }
    /// A file name to offer when the output is saved; empty for none.
    virtual std::string suggestedSaveFileName(const DataList& /*data*/) const { return {}; }

protected:
    void setStatus(int status) { m_status = status; }

private:
    int m_status = Success;
    double m_progress = 0.0;
    FactoryInfo m_factoryInfo;
};

}  // namespace Halvoren
