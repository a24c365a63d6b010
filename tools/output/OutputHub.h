#pragma once
// The outputs of one stream run and the one place its frames are handed over. The stream's worker only
// pushes the shared frame into each output's bounded queue: it formats nothing, writes nothing and takes
// no lock that I/O holds. Each output with I/O drains its queue on its own thread.
//
// The run has a cut: the frames handed over before it reach every output (less what an output's own queue
// dropped, counted), the ones after reach none, so that the outputs' summaries agree.

#include "output/FrameOutput.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Halvoren {
class SignalConnection;
class Stream;
class StreamData;
}  // namespace Halvoren

namespace Halvoren::Output {

class OutputHub {
public:
    OutputHub();
    /// finish(), if not done yet.
    ~OutputHub();
    OutputHub(const OutputHub&) = delete;
    OutputHub& operator=(const OutputHub&) = delete;

    /// Control thread: adds an output, also while frames flow (it gets the frames from then on); an
    /// OwnThread output's thread starts here.
    void add(std::shared_ptr<FrameOutput> output);
    /// Control thread: the output gets no more frames; it takes what it holds and ends (an OwnThread
    /// output's thread is joined; an Owner output ends on this thread).
    void remove(const std::shared_ptr<FrameOutput>& output);
    /// Control thread: takes the stream's tracking data from now on (one receiver for all outputs).
    void listen(Stream& stream);
    /// Control thread, before frames flow: the run is cut after this many frames (0: no limit).
    void setFrameLimit(std::uint64_t frames);
    /// Any thread: told once, outside every lock, when the run is cut (the worker's, for a frame limit).
    void setCutListener(std::function<void()> listener);

    /// The worker: hands a datum of the stream to every output, when it is tracking data.
    void handOver(const std::shared_ptr<const StreamData>& data);
    /// Any thread: the poses went stale (Stale) or are fresh again (Fresh); to every output, in order.
    void notify(FrameItem::Kind kind, double millisecondsWithoutFrame);
    /// Any thread: no frame is handed over from now on.
    void cut();
    bool isCut() const;
    /// Any thread: waits until the run is cut, at most `timeout`; whether it is.
    bool waitForCut(std::chrono::milliseconds timeout) const;
    /// Frames handed over so far.
    std::uint64_t frames() const;

    /// Control thread, once the stream no longer delivers: stops listening, closes every queue and waits
    /// for each OwnThread output to take what it holds and end; ends the Owner outputs on this thread,
    /// each taking what it holds (what one leaves is counted as dropped).
    void finish();

    struct Report {
        std::string name;
        QueuePolicy policy;
        OutputQueue<FrameItem>::Counts counts;
        bool reportsOwnLosses = false;  // the output's own summary says what it dropped
    };
    /// Per output: what its queue took and dropped.
    std::vector<Report> reports() const;

private:
    struct Channel {
        std::shared_ptr<FrameOutput> output;
        std::thread thread;  // OwnThread outputs only
    };
    void pushToAll(FrameItem item, bool frame);
    static void run(FrameOutput& output);

    static void close(Channel& channel);

    std::shared_ptr<SignalConnection> m_connection;
    std::function<void()> m_cutListener;

    // Guards the channels, the cut and the count; the queues are pushed (and the Owner outputs woken)
    // under it, which never waits. No I/O is done under it.
    mutable std::mutex m_mutex;
    std::vector<Channel> m_channels;
    mutable std::condition_variable m_cutChanged;
    bool m_cut = false;
    bool m_finished = false;
    std::uint64_t m_frames = 0;
    std::uint64_t m_limit = 0;
};

}  // namespace Halvoren::Output
