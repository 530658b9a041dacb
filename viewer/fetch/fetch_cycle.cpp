#include "fetch_cycle.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace karvolen::fetch {

double SteadyClock::Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// A fault while the trap is armed: abandons the cycle through the fault ending.
struct Trapped {};

class Cycle {
public:
    Cycle(const Exchange& io, LinkApi& link, FetchHost& host, Clock& clock)
        : io_(io), size_(static_cast<int64_t>(io.rx.size())), link_(link), host_(host), clock_(clock)
    {
    }

    FetchResult Run();

private:
    FetchResult End(Ending e, bool timerOn, const std::string* message = nullptr)
    {
        io_.transferBusy = false;
        if (timerOn) {
            host_.SetTimerEnabled(true);
        }
        if (message != nullptr) {
            host_.CommunicationFailure(*message);
        }
        return {e, static_cast<int32_t>(received_)};
    }

    // A reply given up partway may count as delivered for the device (it cannot
    // tell when the host stopped reading): a line delta on top of it would
    // leave rows wrong for the rest of the run, so the next picture is whole.
    FetchResult GiveUp(Ending e)
    {
        io_.requestMode = wire::kModeWhole;
        return End(e, true);
    }

    // Reads count() bytes behind those received, refused as a fault before
    // anything could be stored outside the reply buffer. A read that brought
    // nothing is tried once more at once; false when both did.
    template <typename Count>
    bool ReadOn(Count count)
    {
        int32_t n = 0;
        for (int attempt = 0; attempt < 2 && n <= 0; ++attempt) {
            const int64_t size = count();
            if (received_ >= size_ || size > size_ - received_) {
                throw Trapped{};
            }
            n = link_.ReadCom(io_.rx.data() + received_, static_cast<int32_t>(size));
        }
        received_ += std::max(n, 0);
        return n > 0;
    }

    int32_t ChunkSize()
    {
        const float product = host_.LogicalWidth() * wire::kChunkRows;
        if (!std::isfinite(product) || product > static_cast<float>(std::numeric_limits<int32_t>::max()) ||
            product < static_cast<float>(std::numeric_limits<int32_t>::min())) {
            throw Trapped{};
        }
        const auto size = static_cast<int64_t>(std::nearbyint(product));
        // A chunk never asks for more than the buffer can still take.
        return static_cast<int32_t>(std::min(size, size_ - received_));
    }

    FetchResult Drain()
    {
        while (link_.ReadCom(io_.rx.data(), wire::kDrainBlockSize) == wire::kDrainBlockSize) {
            host_.ProcessEvents();
        }
        return GiveUp(Ending::Drained);
    }

    FetchResult Reconnect()
    {
        link_.CloseCom();
        if (link_.OpenCom() >= 0) {
            return End(Ending::Reconnected, true);
        }
        return End(Ending::ReconnectFailed, false, &kMsgReconnectFailed);
    }

    const Exchange& io_;
    const int64_t size_;
    LinkApi& link_;
    FetchHost& host_;
    Clock& clock_;
    int64_t received_ = 0;
};

FetchResult Cycle::Run()
{
    host_.SetTimerEnabled(false);
    io_.transferBusy = true;
    io_.command[wire::kModeDigitIndex] = static_cast<uint8_t>(wire::ModeDigit(io_.requestMode));

    try {
        if (link_.WriteCom(io_.command.data(), static_cast<int32_t>(io_.command.size())) <= 0) {
            return Reconnect();
        }

        if (!ReadOn([] { return wire::kFirstReadSize; })) {
            return End(Ending::NoReply, false, &kMsgNoReply);
        }

        // Too few bytes cannot hold the signature; older bytes must not pass for it.
        const uint8_t* rx = io_.rx.data();
        if (received_ < wire::kMinSignedReply || rx[wire::kSignatureIndex] != wire::kSignature[0] ||
            rx[wire::kSignatureIndex + 1] != wire::kSignature[1]) {
            return Drain();
        }

        const int64_t total = wire::ReadBe32(rx) + int64_t{wire::kPrefixSize};
        // A prefix with its top bit set, or a reply larger than the buffer, is refused whole.
        if ((rx[0] & wire::kPrefixTopBit) != 0 || total > size_) {
            throw Trapped{};
        }
        const auto remaining = [&] { return total - received_; };

        while (remaining() > wire::kChunkThreshold) {
            const double chunkStartTime = clock_.Now();
            // The second try reads the window's width afresh, like the first.
            if (!ReadOn([&] { return ChunkSize(); })) {
                return GiveUp(Ending::FailedRead);
            }
            if (clock_.Now() - chunkStartTime > kChunkTimeLimit) {
                return End(Ending::TimedOut, false, &kMsgTimeOut);
            }
        }

        // A reply that arrived whole in its chunks needs no final read.
        if (remaining() > 0 && !ReadOn(remaining)) {
            return GiveUp(Ending::FailedRead);
        }
        io_.transferBusy = false;
        return {Ending::Complete, static_cast<int32_t>(received_)};
    } catch (const Trapped&) {
        return End(Ending::Fault, false, &kMsgFault);
    } catch (const LinkUnavailable&) {
        // A name of the link library that cannot be bound ends the cycle like a fault.
        return End(Ending::Fault, false, &kMsgFault);
    }
}

}  // namespace

FetchResult ReceiveScreen(const Exchange& io, LinkApi& link, FetchHost& host, Clock& clock)
{
    return Cycle(io, link, host, clock).Run();
}

const char* EndingName(Ending e)
{
    switch (e) {
    case Ending::Complete: return "complete";
    case Ending::Reconnected: return "reconnected";
    case Ending::ReconnectFailed: return "reconnect-failed";
    case Ending::NoReply: return "no-reply";
    case Ending::Drained: return "drained";
    case Ending::FailedRead: return "failed-read";
    case Ending::TimedOut: return "timed-out";
    case Ending::Fault: return "fault";
    }
    return "?";
}

}  // namespace karvolen::fetch
