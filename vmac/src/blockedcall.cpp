#include "blockedcall.h"

#include "object.h"
#include "platformstate.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vmac::detail {
namespace {

// Lists the record for the time of the wait. Its destructor also runs on a
// forced unwind; by then cancellation is disabled again (CancelWindow is
// destroyed first), so close() cannot act on it a second time.
class Listing {
public:
    Listing(std::shared_ptr<DeviceState> device, BlockedCall& call)
        : device_(std::move(device)), call_(call) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        call_.readEnd = fds[0];
        call_.writeEnd = fds[1];
        std::lock_guard<std::mutex> lock(platform().mutex);
        device_->blocked.push_back(&call_);
        platform().changed.notify_all();
    }

    ~Listing() {
        {
            std::lock_guard<std::mutex> lock(platform().mutex);
            auto& blocked = device_->blocked;
            blocked.erase(std::remove(blocked.begin(), blocked.end(), &call_), blocked.end());
            if (!finished_)
                ++device_->cancelledCalls;
            platform().changed.notify_all();
        }
        close(call_.readEnd);
        close(call_.writeEnd);
    }

    void finished() { finished_ = true; }

private:
    std::shared_ptr<DeviceState> device_;
    BlockedCall& call_;
    bool finished_ = false;
};

}  // namespace

void BlockedCall::wake() {
    const char byte = 1;
    // The pipe cannot be full: at most two wakes ever reach one call.
    [[maybe_unused]] ssize_t written = write(writeEnd, &byte, 1);
}

BlockEnd waitWhileBlocked(const std::shared_ptr<DeviceState>& device, Block kind,
                          const NoCancel& noCancel) {
    BlockedCall call;
    Listing listing(device, call);
    for (;;) {
        pollfd fd{call.readEnd, POLLIN, 0};
        int ready;
        if (kind == Block::Cancellable) {
            CancelWindow window(noCancel);
            ready = poll(&fd, 1, -1);
        } else {
            ready = poll(&fd, 1, -1);
        }
        if (ready > 0)
            break;
        if (ready < 0 && errno != EINTR)
            fatal("poll on a blocked call failed (errno %d)", errno);
    }
    listing.finished();
    std::lock_guard<std::mutex> lock(platform().mutex);
    return call.unplugged ? BlockEnd::Unplugged : BlockEnd::Released;
}

}  // namespace vmac::detail
