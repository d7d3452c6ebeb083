// The dispatcher that collects a test channel's messages into an Inbox.
#include "vt_test_inbox.h"

namespace vt_test {

int inbox_dispatch(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    auto *inbox = static_cast<Inbox *>(channel->user_data);
    {
        std::lock_guard<std::mutex> hold(inbox->mutex);
        inbox->messages.emplace_back(data, data + length);
    }
    inbox->arrived.notify_all();
    return vt_handle_done;
}

} // namespace vt_test
