#pragma once
// A feed for the server's tests: frames, camera images and word of stale poses go to the server as a
// stream's output sends them (queued, the server woken, its thread delivering through the outlet), made
// by hand rather than from a host stream so that a test says exactly what the clients get.

#include "host/OutputQueue.h"
#include "igtl/IgtlServer.h"

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace TestSupport {

class IgtlTestFeed final : private Halvoren::Igtl::IgtlServer::Feed {
public:
    explicit IgtlTestFeed(Halvoren::Igtl::IgtlServer& server) : m_server(server) { m_server.attach(*this); }
    ~IgtlTestFeed() override { m_server.detach(*this); }
    IgtlTestFeed(const IgtlTestFeed&) = delete;
    IgtlTestFeed& operator=(const IgtlTestFeed&) = delete;

    void publish(Halvoren::Igtl::TrackingFrame frame) { hand(std::move(frame)); }
    /// Not queued when the image rate would drop it, as the stream's output saves copying it.
    void publishImage(const Halvoren::Igtl::GreyImage& image) {
        if (m_server.wantsImage(image.device)) {
            hand(image);
        }
    }
    void setStale(bool stale, std::string reason) { hand(Stale{stale, std::move(reason)}); }

private:
    struct Stale {
        bool stale = false;
        std::string reason;
    };
    using Item = std::variant<Halvoren::Igtl::TrackingFrame, Halvoren::Igtl::GreyImage, Stale>;

    void hand(Item item) {
        m_queue.push(std::move(item));
        m_server.wake();
    }

    bool deliver(Halvoren::Igtl::IgtlServer::Outlet& outlet) override {
        Item item;
        if (!m_queue.tryPop(item)) {
            return false;
        }
        std::visit(
            [&outlet](auto& taken) {
                using T = std::decay_t<decltype(taken)>;
                if constexpr (std::is_same_v<T, Stale>) {
                    outlet.setStale(taken.stale, taken.reason);
                } else if constexpr (std::is_same_v<T, Halvoren::Igtl::GreyImage>) {
                    outlet.sendImage(std::move(taken));
                } else {
                    outlet.sendFrame(std::move(taken));
                }
            },
            item);
        return true;
    }

    Halvoren::Igtl::IgtlServer& m_server;
    // Roomier than the stream's output, so that word of stale poses outlasts a busy test machine's hold-ups.
    Halvoren::Output::OutputQueue<Item> m_queue{{Halvoren::Output::DropPolicy::LatestOnly, 16}};
};

}  // namespace TestSupport
