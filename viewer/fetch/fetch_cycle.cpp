#include "fetch_cycle.h"

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
        io_.transferBusy = kFalse;
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

    // A read into the reply buffer at `start`, refused as a fault before
    // anything could be stored outside it.
    int32_t ReadAt(int64_t start, int64_t count)
    {
        if (start < 0 || start >= size_) {
            throw Trapped{};
        }
        if (count > size_ - start) {
            throw Trapped{};
        }
        return link_.ReadCom(io_.rx.data() + start, static_cast<int32_t>(count));
    }

    // A read that brought nothing is tried once more at once.
    template <typename Read>
    static int32_t WithRetry(Read read)
    {
        const int32_t n = read();
        return n > 0 ? n : read();
    }

    int32_t ChunkSize()
    {
        const float product = host_.ScaleWidth() * wire::kChunkRows;
        if (!std::isfinite(product) || product > static_cast<float>(std::numeric_limits<int32_t>::max()) ||
            product < static_cast<float>(std::numeric_limits<int32_t>::min())) {
            throw Trapped{};
        }
        const auto size = static_cast<int64_t>(std::nearbyint(product));
        // A chunk never asks for more than the buffer can still take.
        const int64_t room = size_ - received_;
        return static_cast<int32_t>(size > room ? room : size);
    }

    FetchResult Drain()
    {
        int32_t n = link_.ReadCom(io_.rx.data(), kDrainBlockSize);
        while (n == kDrainBlockSize) {
            host_.ProcessEvents();
            n = link_.ReadCom(io_.rx.data(), kDrainBlockSize);
        }
        return GiveUp(Ending::Drained);
    }

    FetchResult Reconnect()
    {
        link_.CloseCom();
        const int32_t r = link_.OpenCom();
        if (r >= 0) {
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
    io_.transferBusy = kTrue;
    io_.command[wire::kModeDigitIndex] = static_cast<uint8_t>(wire::ModeDigit(io_.requestMode));

    try {
        if (link_.WriteCom(io_.command.data(), static_cast<int32_t>(io_.command.size())) <= 0) {
            return Reconnect();
        }

        const int32_t first = WithRetry([&] { return ReadAt(0, wire::kFirstReadSize); });
        if (first <= 0) {
            return End(Ending::NoReply, false, &kMsgNoReply);
        }
        received_ = first;

        // Too few bytes cannot hold the signature; older bytes must not pass for it.
        const uint8_t* rx = io_.rx.data();
        if (received_ < wire::kMinSignedReply || rx[wire::kSignatureIndex] != wire::kSignature[0] ||
            rx[wire::kSignatureIndex + 1] != wire::kSignature[1]) {
            return Drain();
        }

        const int64_t declared = wire::ReadBe32(rx);
        // A prefix with its top bit set, or a reply larger than the buffer, is refused whole.
        if ((rx[0] & wire::kPrefixTopBit) != 0 || declared + wire::kPrefixSize > size_) {
            throw Trapped{};
        }
        int64_t remaining = declared - received_ + wire::kPrefixSize;

        while (remaining > wire::kChunkThreshold) {
            const double chunkStartTime = clock_.Now();
            // The second try reads the window's width afresh, like the first.
            const int32_t n = WithRetry([&] { return ReadAt(received_, ChunkSize()); });
            if (n <= 0) {
                return GiveUp(Ending::FailedRead);
            }
            received_ += n;
            remaining = declared - received_ + wire::kPrefixSize;
            const double elapsed = clock_.Now() - chunkStartTime;
            if (elapsed > kChunkTimeLimit) {
                return End(Ending::TimedOut, false, &kMsgTimeOut);
            }
        }

        // A reply that arrived whole in its chunks needs no final read.
        if (remaining > 0) {
            const int32_t n = WithRetry([&] { return ReadAt(received_, remaining); });
            if (n <= 0) {
                return GiveUp(Ending::FailedRead);
            }
            received_ += n;
        }
        io_.transferBusy = kFalse;
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
