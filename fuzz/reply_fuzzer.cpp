// Arbitrary bytes as the Quellbar's answer: through the fetch cycle's
// reception, the decoders and the drawing step, into state that persists from
// one input to the next as it does in the running window.
//
// Input layout:
//   [0]        flags (see below)
//   [1]        C, the number of piece directives
//   [2, 2+C)   one directive per ReadCom; once they run out every read is whole
//   [2+C, end) the byte stream the Quellbar sends, over one or more cycles
//
// Directive bits 0-2: 0-3 whole read, 4 short read of (bits 3-7) + 1 bytes,
// 5 read returning 0, 6 read failing (the link closes), 7 whole read that
// takes (bits 3-7) / 16 seconds on the cycle's clock. The flags are the
// kFlag constants below.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decode.h"
#include "fetch_cycle.h"
#include "poll_state.h"
#include "picture_format.h"
#include "wire_format.h"

namespace {

using namespace karvolen;

constexpr uint8_t kFlagLineDelta = 0x01;    // first request asks for a LineDelta picture
constexpr uint8_t kFlagWide = 0x02;         // LogicalWidth 800 instead of 640
// Minimized, maximized or full screen: a new width is drawn with, but the
// window is not laid out for it, so LogicalWidth keeps its value.
constexpr uint8_t kFlagMinimized = 0x04;
constexpr uint8_t kFlagWriteFails = 0x08;   // the first write of the input returns 0
constexpr uint8_t kFlagOpenFails = 0x10;    // OpenCom fails
constexpr uint8_t kFlagTallSurface = 0x20;  // draw all 480 rows, not only the top four
constexpr uint8_t kFlagLinkClosed = 0x80;   // the input starts with the link closed
// Each flag its own bit: their sum is their union only when no two overlap.
static_assert(kFlagLineDelta + kFlagWide + kFlagMinimized + kFlagWriteFails + kFlagOpenFails + kFlagTallSurface +
                  kFlagLinkClosed ==
              (kFlagLineDelta | kFlagWide | kFlagMinimized | kFlagWriteFails | kFlagOpenFails | kFlagTallSurface |
               kFlagLinkClosed));
constexpr int kMaxCycles = 8;

constexpr int32_t kSurfaceMaxWidth = 800;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "reply_fuzzer: invariant broken: %s\n", what);
    std::abort();
}

#define CHECK(cond) \
  do {              \
    if (!(cond)) {  \
      Fail(#cond);  \
    }               \
  } while (0)

#if defined(__SANITIZE_ADDRESS__)
#  define KARVOLEN_ASAN 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define KARVOLEN_ASAN 1
#  endif
#endif

#ifdef KARVOLEN_ASAN
extern "C" void* __asan_region_is_poisoned(void* beg, size_t size);
void CheckWritable(uint8_t* buffer, int32_t length)
{
    if (length > 0 && __asan_region_is_poisoned(buffer, static_cast<size_t>(length)) != nullptr) {
        Fail("ReadCom length runs past the buffer");
    }
}
#else
void CheckWritable(uint8_t*, int32_t) {}
#endif

class VirtualClock : public fetch::Clock {
public:
    double Now() override { return now; }
    double now = 0.0;
};

// The Quellbar at the other end of the cable, playing back the input.
class FuzzLink : public LinkApi {
public:
    FuzzLink(const uint8_t* directives, size_t nDirectives, const uint8_t* stream, size_t nStream, VirtualClock& clock)
        : dir_(directives), nDir_(nDirectives), stream_(stream), nStream_(nStream), clock_(clock)
    {
    }

    bool open = true;
    bool openFails = false;
    int failWrites = 0;
    std::vector<uint8_t> lastWrite;

    bool Exhausted() const { return pos_ >= nStream_ && d_ >= nDir_; }

    int32_t OpenCom() override
    {
        open = !openFails;
        return openFails ? -1 : 0;
    }
    int32_t CloseCom() override
    {
        open = false;
        return 0;
    }
    int32_t WriteCom(const uint8_t* buffer, int32_t length) override
    {
        if (!open) return -102;
        CHECK(length == wire::kRequestSize);
        lastWrite.assign(buffer, buffer + length);
        if (failWrites > 0) {
            --failWrites;
            return 0;
        }
        return length;
    }
    int32_t ReadCom(uint8_t* buffer, int32_t length) override
    {
        if (!open) return -101;
        const uint8_t d = d_ < nDir_ ? dir_[d_++] : 0;
        const size_t avail = nStream_ - pos_;
        size_t n = length > 0 ? std::min(avail, static_cast<size_t>(length)) : 0;
        switch (d & 7) {
        case 4: n = std::min(n, static_cast<size_t>((d >> 3) + 1)); break;
        case 5: return 0;
        case 6:
            open = false;  // a failed transfer closes the link
            return -110;
        case 7: clock_.now += (d >> 3) / 16.0; break;
        default: break;
        }
        // A length that runs past the caller's buffer is a fault even when the
        // device sends less; libusb would hand the whole length to the kernel.
        CheckWritable(buffer, length);
        if (n == 0) return 0;
        std::memcpy(buffer, stream_ + pos_, n);
        pos_ += n;
        return static_cast<int32_t>(n);
    }

private:
    const uint8_t* dir_;
    size_t nDir_;
    size_t d_ = 0;
    const uint8_t* stream_;
    size_t nStream_;
    size_t pos_ = 0;
    VirtualClock& clock_;
};

class FuzzHost : public fetch::FetchHost {
public:
    FuzzHost(PollState& st, LinkApi& link) : st_(st), link_(link) {}

    float scaleWidth = 640.0f;
    bool timer = false;
    std::vector<std::string> messages;

    void SetTimerEnabled(bool enabled) override { timer = enabled; }
    float LogicalWidth() override { return scaleWidth; }
    void ProcessEvents() override {}
    void CommunicationFailure(const std::string& message) override
    {
        messages.push_back(message);
        st_.requestMode = kModeWhole;
        link_.CloseCom();
    }

private:
    PollState& st_;
    LinkApi& link_;
};

// Straightforward LineDelta decoding, kept beside the optimised one as an
// oracle. It stops where the real one is meant to: a group that would write at
// index 400000 or beyond, or that needs a byte which was not received.
void ReferenceLineDelta(const uint8_t* rx, int64_t i, int64_t received, uint8_t* px, int64_t w)
{
    int64_t d = 0;
    int64_t k = 0;
    while (i <= received - 1) {
        if (rx[i] == 0) {
            d += w;
            ++k;
            ++i;
            continue;
        }
        int64_t p = 0;
        while (p < w) {
            const int64_t n = rx[i];
            if (d + n > kBufferLastIndex || i + n > received - 1) return;
            for (int64_t j = 0; j < n; ++j) px[d + j] = rx[i + 1 + j];
            d += n;
            p += n;
            i += 1 + n;
            if (p >= w) break;
            if (i > received - 1) return;
            const int64_t r = rx[i];
            if (d + r > kBufferLastIndex) return;
            for (int64_t j = 0; j < r; ++j) px[d + j] = rx[i - 1];
            d += r;
            p += r;
            ++i;
        }
        ++k;
        if (d > k * w) d = k * w;
    }
}

struct World {
    PollState st;
    bool loaded = false;
    // What pixels must hold, kept by the reference decoder.
    std::vector<uint8_t> expected = std::vector<uint8_t>(kBufferSize, 0);
    // Surface: biWidth x 480 pixels, at most 800 wide.
    std::vector<uint32_t> surface = std::vector<uint32_t>(static_cast<size_t>(kSurfaceMaxWidth) * kPictureHeight);

    World()
    {
        std::copy_n(wire::kRequestText, wire::kRequestSize, st.request.begin());
        InitFrameInfo(st.frameInfo.bmiHeader);
    }
};

uint32_t Colour(const RgbQuad& q)
{
    return 0xFF000000u | (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
}

void CheckEnding(const fetch::FetchResult& r, const FuzzHost& host, size_t messagesBefore)
{
    using fetch::Ending;
    const bool messaged = host.messages.size() == messagesBefore + 1;
    CHECK(host.messages.size() <= messagesBefore + 1);
    switch (r.ending) {
    case Ending::Complete: CHECK(!host.timer && !messaged); break;
    case Ending::Reconnected:
    case Ending::Drained:
    case Ending::FailedRead: CHECK(host.timer && !messaged); break;
    case Ending::ReconnectFailed:
        CHECK(!host.timer && messaged && host.messages.back() == fetch::kMsgReconnectFailed);
        break;
    case Ending::NoReply: CHECK(!host.timer && messaged && host.messages.back() == fetch::kMsgNoReply); break;
    case Ending::TimedOut: CHECK(!host.timer && messaged && host.messages.back() == fetch::kMsgTimeOut); break;
    case Ending::Fault: CHECK(!host.timer && messaged && host.messages.back() == fetch::kMsgFault); break;
    }
}

// Decoding as the window's cycle does it, with the reference decoder alongside.
void Present(World& w, FuzzHost& host, int32_t received, bool minimized)
{
    PollState& st = w.st;
    CHECK(received >= wire::kMinSignedReply && received <= kBufferSize);
    CHECK(st.reply[wire::kSignatureIndex] == 'B' && st.reply[wire::kSignatureIndex + 1] == 'M');

    const int32_t modeBefore = st.requestMode;
    const int16_t widthBefore = st.imageWidth;
    const int16_t appliedBefore = st.laidOutWidth;
    const decode::DecodeResult d = decode::DecodeReply(st.Received(received), st.Decoding());
    if (d.refused) {
        return;
    }

    const uint8_t* rx = st.reply.data();
    const uint32_t offBits = wire::ReadLe32(rx + decode::kOffBitsIndex);
    CHECK(offBits <= decode::kMaxOffBits);
    const int64_t s = int64_t{offBits} + wire::kPrefixSize;
    if (modeBefore == kModeLineDelta) {
        CHECK(!d.fullFrame && st.imageWidth == widthBefore);
        if (widthBefore > 0) ReferenceLineDelta(rx, s, received, w.expected.data(), widthBefore);
    } else {
        CHECK(d.fullFrame && st.requestMode == kModeLineDelta);
        CHECK(st.imageWidth == (received <= decode::kNarrowReplyMaxSize ? wire::kNarrowWidth : wire::kWideWidth));
        CHECK(st.laidOutWidth == st.imageWidth);
        CHECK(d.widthChanged == (st.imageWidth != appliedBefore));
        if (s < received) std::memcpy(w.expected.data(), rx + s, static_cast<size_t>(received - s));
    }
    CHECK(std::memcmp(st.frameInfo.bmiColors.data(), st.headers.data() + decode::kColourTableOffset,
                      sizeof st.frameInfo.bmiColors) == 0);

    // FitWindowToPicture: biWidth, and Surface with it, follow a new width in every
    // window state; the scale only where the window is laid out for it.
    if (d.widthChanged) {
        st.frameInfo.bmiHeader.biWidth = st.imageWidth;
        if (!minimized) host.scaleWidth = st.imageWidth;
    }
}

// The drawing step and the whole-picture comparison with the reference. Both
// are pure functions of the state, so an input runs them once, at its end.
void Draw(World& w, int32_t height)
{
    PollState& st = w.st;
    CHECK(std::memcmp(w.expected.data(), st.pixels.data(), kBufferSize) == 0);
    const int32_t width = st.frameInfo.bmiHeader.biWidth;
    if (width <= 0) {
        return;  // no surface yet: the window reports a drawing error
    }
    CHECK(width <= kSurfaceMaxWidth);
    const int32_t lines =
        decode::DrawPicture(w.surface.data(), width, height, width, st.frameInfo, st.pixels);
    CHECK(lines == height);
    // Bottom-up: the top-left surface pixel is the first pixel of row 479,
    // the last one the last pixel of row 480 - height.
    const auto& colours = st.frameInfo.bmiColors;
    CHECK(w.surface[0] == Colour(colours[st.pixels[(kPictureHeight - 1) * width]]));
    CHECK(w.surface[static_cast<size_t>(height) * width - 1] ==
          Colour(colours[st.pixels[(kPictureHeight - height) * width + width - 1]]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static World world;
    // Set KARVOLEN_FUZZ_TRACE to see how each cycle of an input ended.
    static const bool trace = std::getenv("KARVOLEN_FUZZ_TRACE") != nullptr;
    if (size < 2) return 0;

    const uint8_t flags = data[0];
    const size_t nDir = std::min<size_t>(data[1], size - 2);
    const uint8_t* dirs = data + 2;
    const uint8_t* stream = dirs + nDir;
    const size_t nStream = size - 2 - nDir;

    PollState& st = world.st;
    VirtualClock clock;
    FuzzLink link(dirs, nDir, stream, nStream, clock);
    FuzzHost host(st, link);

    const bool minimized = (flags & kFlagMinimized) != 0;
    // LogicalWidth is a width the form was laid out for, and no other: 800 (its
    // design width) or 640. Between inputs the window may have been resized.
    host.scaleWidth = (flags & kFlagWide) ? 800.0f : 640.0f;
    if (!world.loaded) {
        // Start: the first cycle decodes with the form's scale as imageWidth.
        st.imageWidth = static_cast<int16_t>(std::nearbyint(host.scaleWidth));
        world.loaded = true;
    }
    link.open = (flags & kFlagLinkClosed) == 0;
    link.openFails = (flags & kFlagOpenFails) != 0;
    link.failWrites = (flags & kFlagWriteFails) ? 1 : 0;
    st.requestMode = (flags & kFlagLineDelta) ? kModeLineDelta : kModeWhole;

    bool presented = false;
    for (int cycle = 0; cycle < kMaxCycles && !link.Exhausted(); ++cycle) {
        const size_t messagesBefore = host.messages.size();
        const int32_t mode = st.requestMode;
        host.timer = true;
        link.lastWrite.clear();

        const fetch::FetchResult r = fetch::ReceiveScreen(st.Fetching(), link, host, clock);

        CHECK(!st.transferBusy);
        CheckEnding(r, host, messagesBefore);
        if (!link.lastWrite.empty()) {
            CHECK(std::memcmp(link.lastWrite.data(), st.request.data(), wire::kRequestSize) == 0);
            CHECK(link.lastWrite[wire::kModeDigitIndex] == (mode == kModeLineDelta ? '2' : '0'));
        }
        if (trace) {
            std::fprintf(stderr, "cycle %d: mode %d, %s, received %d\n", cycle, mode, fetch::EndingName(r.ending),
                         r.received);
        }
        if (r.ending == fetch::Ending::Complete) {
            Present(world, host, r.received, minimized);
            presented = true;
        }
    }
    if (presented) {
        // A short surface keeps most runs fast; the drawing clips to it.
        Draw(world, (flags & kFlagTallSurface) ? kPictureHeight : 4);
    }
    return 0;
}
