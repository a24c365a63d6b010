#pragma once

#include "Configurable.h"

namespace Halvoren {

/// Something the host runs on data: configured through its parameters, then run; the status tells how the
/// last run went.
class Algorithm : public Configurable {
public:
    enum Status { Success = 0, Error = 1 };

    Algorithm() = default;
    ~Algorithm() override;

    /// Does the algorithm's work; the outcome is reported by status().
    virtual void run() = 0;
    /// Success (0) until a run fails; the host's codes otherwise.
    virtual int status() const { return m_status; }

protected:
    void setStatus(int status) { m_status = status; }

private:
    int m_status = Success;
};

}  // namespace Halvoren
