#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

#include "device/linux/sg_exchange.h"

SgExchange ExchangeSg(ILinuxKernel& kernel, int fd, sg_io_hdr_t& header, int graceMs, std::string& error)
{
    const int rc = kernel.SgSubmit(fd, header);
    if (rc < 0) {
        error = "sg: " + std::error_code(-rc, std::generic_category()).message();
        return SgExchange::NotSent;
    }
    // From here on the command is the device's: whatever happens to the wait
    // (a stop signal, a tracer, a handled signal), only the wait is repeated.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(header.timeout) + graceMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int result = left > 0 ? kernel.SgReceive(fd, header, static_cast<int>(left)) : -ETIMEDOUT;
        if (result == 0)
            return SgExchange::Answered;
        if (result == -EINTR || result == -EAGAIN)
            continue;
        if (result == -ETIMEDOUT) {
            error = "sg: no answer from the sg driver " + std::to_string(graceMs / 1000) +
                    " s after the command's own timeout; it may still be running on the device";
        } else {
            error = "sg: waiting for the answer: " + std::error_code(-result, std::generic_category()).message() +
                    "; the command may still be running on the device";
        }
        return SgExchange::Lost;
    }
}
