#pragma once

#include "host/Log.h"
#include "host/Properties.h"
#include "host/StreamIoAlgorithm.h"

#include <exception>
#include <initializer_list>
#include <memory>

namespace Halvoren {

/// Input algorithm whose run makes one stream of type T, gives it the configuration the algorithm last
/// received, and opens and starts it when that configuration asks for it ("open", "autoOpen" or "connect";
/// "start" or "autoStart"). MinInputs and MaxInputs are the number of selected data items it takes: a
/// stream maker takes none. Control thread.
template <typename T, int MinInputs, int MaxInputs>
class CreateStreamIoAlgorithm : public StreamIoAlgorithm {
public:
    CreateStreamIoAlgorithm() = default;
    /// Destroys the stream unless the host took it.
    ~CreateStreamIoAlgorithm() override {
        m_configuration.reset();
        releaseStream();
    }

    T* stream() const override { return m_stream.get(); }

    /// Keeps a copy for the stream yet to be made, passes it to an existing stream, and reads the flags;
    /// a flag that p does not name keeps its value.
    void configure(const Properties* p) override {
        if (p == nullptr) {
            return;
        }
        auto copy = std::make_unique<Properties>();
        copy->copyFrom(*p);
        m_configuration = std::move(copy);
        if (m_stream) {
            m_stream->configure(p);
        }
        readFlag(*p, {"open", "autoOpen", "connect"}, m_open);
        readFlag(*p, {"start", "autoStart"}, m_start);
    }

    /// The stream's own settings once it exists; before that, what configure received.
    void configuration(Properties* p) const override {
        if (p == nullptr) {
            return;
        }
        if (m_stream) {
            m_stream->configuration(p);
        } else if (m_configuration) {
            p->copyFrom(*m_configuration);
        }
    }

    /// Throws when T refuses to be made (a second instance of a single-instance stream).
    void run() override { setStream(std::make_unique<T>()); }

    bool openFlag() const { return m_open; }
    bool startFlag() const { return m_start; }

    /// Forgets the stream when the host took it, destroys it otherwise; then clears the ownership mark.
    void releaseStream() override {
        if (streamOwnershipTaken()) {
            static_cast<void>(m_stream.release());
        } else {
            m_stream.reset();
        }
        StreamIoAlgorithm::releaseStream();
    }

protected:
    /// Lets go of the current stream, then takes the new one and sets it up. Status 1 when opening or
    /// starting fails (the stream is kept) or when setting up throws (the stream is destroyed, so that it
    /// does not block the next run).
    void setStream(std::unique_ptr<T> stream) {
        releaseStream();
        if (!stream) {
            setStatus(Error);
            return;
        }
        m_stream = std::move(stream);
        try {
            if (m_configuration) {
                m_stream->configure(m_configuration.get());
            }
            bool ok = true;
            if (m_open) {
                ok = m_stream->open();
                if (ok && m_start) {
                    ok = m_stream->start();
                }
            }
            setStatus(ok ? Success : Error);
        } catch (const std::exception& e) {
            HALVOREN_LOG(Log::Error, "CreateStreamIoAlgorithm",
                         "Could not instantiate a new Stream: " << e.what());
            m_stream.reset();
            setStatus(Error);
        }
    }

private:
    static void readFlag(const Properties& p, std::initializer_list<const char*> names, bool& flag) {
        for (const char* name : names) {
            if (p.param(name, flag)) {
                return;
            }
        }
    }

    std::unique_ptr<T> m_stream;
    std::unique_ptr<Properties> m_configuration;
    bool m_open = false;
    bool m_start = false;
};

}  // namespace Halvoren
