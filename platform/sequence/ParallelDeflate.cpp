#include "ParallelDeflate.h"
#include "BlockDeflate.h"

#include <pthread.h>
#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace Halvoren::Sequence {

namespace {
// Large enough that a piece's own blocks and its byte boundary cost little, small enough that a camera
// image makes several to share out.
constexpr std::size_t kPieceBytes = 256 * 1024;
constexpr unsigned kMaxThreads = 4;
}  // namespace

struct ParallelDeflate::Impl {
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable work;  // a frame's pieces wait, or stop
    std::condition_variable done;  // every piece of the frame is encoded
    bool stopping = false;
    std::uint64_t job = 0;  // counts the frames handed out, so that a worker takes each once

    // The frame being encoded: set by the caller under the lock before the job number changes.
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t pieceCount = 0;
    std::atomic<std::size_t> nextPiece{0};
    std::size_t piecesLeft = 0;  // under the lock
    // Workers inside a frame's job, under the lock: the next frame is set up once none is, so that a
    // worker that came late never reads a frame's numbers while they change.
    unsigned busy = 0;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::vector<std::uint32_t> checksums;

    std::uint32_t adler = 1;  // of every byte added so far (the checksum of nothing is 1)

    // Takes pieces until none is left; any thread.
    void encodePieces() {
        for (;;) {
            const std::size_t i = nextPiece.fetch_add(1);
            if (i >= pieceCount) {
                return;
            }
            const std::size_t start = i * kPieceBytes;
            const std::size_t length = std::min(kPieceBytes, size - start);
            pieces[i].clear();
            BlockDeflate::encode(bytes + start, length, pieces[i]);
            checksums[i] = static_cast<std::uint32_t>(adler32(1, bytes + start, static_cast<uInt>(length)));
            const std::lock_guard<std::mutex> lock(mutex);
            if (--piecesLeft == 0) {
                done.notify_all();
            }
        }
    }

    void workerLoop() {
#ifdef SCHED_BATCH
        // Compressing is batch work: a fair share of the processor, without preempting the thread that
        // just woke it (the camera's worker handing over the next frame, on a busy machine).
        const sched_param batch{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
#endif
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                work.wait(lock, [&] { return stopping || job != seen; });
                if (stopping) {
                    return;
                }
                seen = job;
                ++busy;
            }
            encodePieces();
            const std::lock_guard<std::mutex> lock(mutex);
            if (--busy == 0) {
                done.notify_all();
            }
        }
    }
};

ParallelDeflate::ParallelDeflate(unsigned threads) : m_impl(std::make_unique<Impl>()) {
    if (threads == 0) {
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    }
    // A thread the system refuses (a process at its limit) leaves the work to the others, the caller's at
    // least.
    for (unsigned k = 1; k < threads; ++k) {
        try {
            m_impl->workers.emplace_back([impl = m_impl.get()] { impl->workerLoop(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

ParallelDeflate::~ParallelDeflate() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->work.notify_all();
    for (std::thread& worker : m_impl->workers) {
        worker.join();
    }
}

void ParallelDeflate::begin(std::vector<std::uint8_t>& out) {
    BlockDeflate::zlibHeader(out);
}

void ParallelDeflate::add(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out) {
    Impl& d = *m_impl;
    if (size == 0) {
        return;
    }
    {
        std::unique_lock<std::mutex> lock(d.mutex);
        d.done.wait(lock, [&] { return d.busy == 0; });
        d.bytes = bytes;
        d.size = size;
        d.pieceCount = (size + kPieceBytes - 1) / kPieceBytes;
        d.pieces.resize(std::max(d.pieces.size(), d.pieceCount));
        d.checksums.assign(d.pieceCount, 0);
        d.nextPiece.store(0);
        d.piecesLeft = d.pieceCount;
        ++d.job;
    }
    if (d.pieceCount > 1) {
        d.work.notify_all();
    }
    d.encodePieces();
    std::unique_lock<std::mutex> lock(d.mutex);
    d.done.wait(lock, [&] { return d.piecesLeft == 0; });
    for (std::size_t i = 0; i < d.pieceCount; ++i) {
        out.insert(out.end(), d.pieces[i].begin(), d.pieces[i].end());
        const std::size_t length = std::min(kPieceBytes, size - i * kPieceBytes);
        d.adler = static_cast<std::uint32_t>(
            adler32_combine(d.adler, d.checksums[i], static_cast<z_off_t>(length)));
    }
}

void ParallelDeflate::end(std::vector<std::uint8_t>& out) {
    BlockDeflate::zlibTrailer(m_impl->adler, out);
}

unsigned ParallelDeflate::threads() const {
    return static_cast<unsigned>(m_impl->workers.size()) + 1;
}

}  // namespace Halvoren::Sequence
