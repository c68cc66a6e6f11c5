#include "serial/io_threads.h"

namespace qx17 {

bool IoThreadContext::Notify(std::uint32_t message, std::uint32_t wparam, std::uint32_t lparam,
                             std::unique_ptr<std::uint8_t[]> block) const {
    return NotifyWindow->Post(Notice{message, wparam, lparam, std::move(block), Opening});
}

void IoThreadContext::NotifyHangup() const {
    (void)NotifyWindow->PostFinal(Notice{MsgRequestHangup, 0, 0, nullptr, Opening});
}

}  // namespace qx17
