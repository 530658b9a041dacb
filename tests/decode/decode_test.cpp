#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <numeric>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace karvolen {
namespace {

using testing::Decode;
using decode::DecodeResult;
using testing::Receive;
using testing::Reply;
using testing::SamePalette;
using testing::ScreenWith;

constexpr uint8_t kOld = 0xAA;  // what pixels held before the reply

using Bytes = std::vector<uint8_t>;

void Put(Bytes& v, std::initializer_list<int> bytes)
{
    for (int b : bytes) v.push_back(static_cast<uint8_t>(b));
}

void Unchanged(Bytes& v, int rows) { v.insert(v.end(), static_cast<size_t>(rows), 0); }

// A row of `n` pixels without two equal neighbours and without the value kOld.
Bytes NoRuns(int n, int salt = 0)
{
    Bytes row;
    for (int x = 0; x < n; ++x) row.push_back(static_cast<uint8_t>(1 + (x * 7 + salt) % 97));
    return row;
}

bool All(const uint8_t* p, size_t n, uint8_t v)
{
    return std::all_of(p, p + n, [v](uint8_t b) { return b == v; });
}

void FillOld(PollState& st) { std::fill(st.pixels.data(), st.pixels.data() + kBufferSize, kOld); }

// The worked rows: 5 then a run of 7s to the width, and `literals` as three
// literal groups that end exactly at the width, with no run count after them.
Bytes WorkedRows(const Bytes& literals)
{
    Bytes d;
    Put(d, {0x02, 0x05, 0x07, 0xFF, 0x01, 0x07, 0xFF, 0x01, 0x07, 0x7E});
    Put(d, {0xFF});
    d.insert(d.end(), literals.begin(), literals.begin() + 255);
    Put(d, {0x00, 0xFF});
    d.insert(d.end(), literals.begin() + 255, literals.begin() + 510);
    Put(d, {0x00, 0x82});
    d.insert(d.end(), literals.begin() + 510, literals.end());
    return d;
}

class LineDeltaTest : public ::testing::Test {
protected:
    void SetUp() override { Prepare(640); }

    void Prepare(int16_t width)
    {
        st.requestMode = kModeLineDelta;
        st.imageWidth = width;
        st.laidOutWidth = width;
        FillOld(st);
    }

    DecodeResult Decode(const Bytes& pixelData, uint32_t paletteSalt = 0)
    {
        return testing::Decode(st, Receive(st, Reply(pixelData, st.imageWidth, paletteSalt)));
    }

    const uint8_t* Row(int r)
    {
        return st.pixels.data() + static_cast<size_t>(r) * static_cast<size_t>(st.imageWidth);
    }

    // Pixels `x` to `x + n - 1` of `row` (and on into the rows below) hold `value`.
    struct Span {
        int row, x, n, value;
    };
    void Expect(std::initializer_list<Span> spans)
    {
        for (const Span& s : spans) {
            const uint8_t* p = Row(s.row) + s.x;
            const uint8_t* bad = std::find_if(p, p + s.n, [&](uint8_t b) { return b != s.value; });
            EXPECT_EQ(bad, p + s.n) << "row " << s.row << ", pixel " << s.x + (bad - p) << " holds " << int{*bad}
                                    << ", not " << s.value;
        }
    }

    PollState st;
};

// Row 1's literals end at 640, so the 0x00 after them is row 2's record
// (unchanged), not an empty run of row 1.
TEST_F(LineDeltaTest, WorkedRowsRunsRepeatTheLastLiteralAndLiteralsEndingAtTheWidthHaveNoRunCount)
{
    const Bytes row1 = NoRuns(640);
    Bytes d = WorkedRows(row1);
    Put(d, {0x00});                                                  // row 2
    Put(d, {0x01, 0x09, 0xFF, 0x01, 0x09, 0xFF, 0x01, 0x09, 0x7F});  // row 3
    Unchanged(d, 476);
    const DecodeResult r = Decode(d);
    EXPECT_FALSE(r.refused);
    EXPECT_FALSE(r.fullFrame);
    Expect({{0, 0, 1, 5}, {0, 1, 639, 7}, {2, 0, 640, kOld}, {3, 0, 640, 9}, {4, 0, 476 * 640, kOld}});
    EXPECT_TRUE(std::equal(row1.begin(), row1.end(), Row(1)));
    EXPECT_EQ(st.requestMode, kModeLineDelta);
}

TEST_F(LineDeltaTest, EncoderProducesTheWorkedRows)
{
    Bytes prev(640 * 2, 0);
    Bytes cur(640 * 2, 7);
    cur[0] = 5;
    const Bytes arbitrary = NoRuns(640, 3);
    std::copy(arbitrary.begin(), arbitrary.end(), cur.begin() + 640);
    EXPECT_EQ(quellbar::EncodeLineDelta(prev.data(), cur.data(), 640, 2), WorkedRows(arbitrary));
}

TEST_F(LineDeltaTest, EmptyRunsAndGroupsWithoutLiterals)
{
    Bytes d;
    // Run count 0 adds nothing: 3, then 4, 5 and a run of 5s.
    Put(d, {0x01, 0x03, 0x00, 0x02, 0x04, 0x05, 0xFF, 0x01, 0x06, 0xFF, 0x01, 0x07, 0x7D});
    // Row 1: a later group without literals writes a run of index 0.
    Put(d, {0x01, 0x08, 0x00, 0x00, 0x64, 0x01, 0x08, 0xFF, 0x01, 0x08, 0xFF, 0x01, 0x08, 0x1A});
    Unchanged(d, 478);
    Decode(d);
    Expect({{0, 0, 1, 3}, {0, 1, 1, 4}, {0, 2, 256, 5}, {0, 258, 256, 6}, {0, 514, 126, 7}});
    Expect({{1, 0, 1, 8}, {1, 1, 100, 0}, {1, 101, 539, 8}, {2, 0, 478 * 640, kOld}});
}

TEST_F(LineDeltaTest, OverlongRowSpillsIntoTheNextRowWhichStillStartsInPlace)
{
    Bytes d;
    Put(d, {0x01, 0x01, 0xFF, 0x01, 0x02, 0xFF, 0x01, 0x03, 0xC8});  // 713 pixels
    Put(d, {0x00});                                                  // row 1 keeps the spill
    Put(d, {0x01, 0x04, 0xFF, 0x01, 0x04, 0xFF, 0x01, 0x04, 0x7F});  // row 2
    Unchanged(d, 477);
    Decode(d);
    Expect({{0, 512, 128, 3}, {1, 0, 73, 3}, {1, 73, 640 - 73, kOld}, {2, 0, 640, 4}, {3, 0, 640, kOld}});
}

TEST_F(LineDeltaTest, AllUnchangedKeepsPixelsButLoadsTheNewPalette)
{
    Bytes d;
    Unchanged(d, 480);
    Decode(d, 0);
    const Bytes before(st.pixels.data(), st.pixels.data() + kBufferSize);
    Decode(d, 77);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), st.pixels.data()));
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(640, 77).palette));
}

TEST_F(LineDeltaTest, FewerRecordsLeaveTheRestAndExtraRecordsGoPastRow479)
{
    Bytes d;
    for (int r = 0; r < 10; ++r) Put(d, {0x01, r + 1, 0xFF, 0x01, r + 1, 0xFF, 0x01, r + 1, 0x7F});
    Decode(d);
    Expect({{9, 0, 640, 10}, {10, 0, 470 * 640, kOld}});

    Prepare(640);
    d.clear();
    Unchanged(d, 480);
    Put(d, {0x01, 0x21, 0xFF, 0x01, 0x21, 0xFF, 0x01, 0x21, 0x7F});  // row 480
    Put(d, {0x00});
    Put(d, {0x01, 0x22, 0xFF, 0x01, 0x22, 0xFF, 0x01, 0x22, 0x7F});  // row 482
    Decode(d);
    Expect({{0, 0, 480 * 640, kOld}, {480, 0, 640, 0x21}, {481, 0, 640, kOld}, {482, 0, 640, 0x22}});
}

// At 800 pixels, row 499 ends exactly at index 400000; row 500 cannot start.
TEST_F(LineDeltaTest, GuardsStopAtIndex400000)
{
    Prepare(800);
    const auto fullRow499 = [](int lastRun) {
        Bytes d;
        Unchanged(d, 499);
        // 3 x (1 + 255) = 768 pixels, then one literal and the rest as a run.
        Put(d, {0x01, 0x31, 0xFF, 0x01, 0x32, 0xFF, 0x01, 0x33, 0xFF, 0x01, 0x34, lastRun});
        return d;
    };
    Bytes d = fullRow499(31);                                              // up to index 399999
    Put(d, {0x01, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // row 500: stopped
    Decode(d, 5);
    EXPECT_TRUE(All(Row(499) + 768, 32, 0x34));
    EXPECT_EQ(st.pixels[kBufferLastIndex], kOld);
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(800, 5).palette));

    Prepare(800);
    d = fullRow499(32);  // the run would write index 400000
    Decode(d);
    Expect({{499, 768, 1, 0x34}, {499, 769, 31, kOld}});
    EXPECT_EQ(st.pixels[kBufferLastIndex], kOld);

    Prepare(800);
    d.clear();
    Unchanged(d, 499);
    Put(d, {0x01, 0x31, 0xFF, 0x01, 0x32, 0xFF, 0x01, 0x33, 0xFF, 0x21});  // 33 literals: to 400001
    d.insert(d.end(), 33, 0x44);
    Decode(d);
    Expect({{499, 512, 256, 0x33}, {499, 768, 33, kOld}});
}

// The reply ends inside a changed row; reply still holds bytes of an
// earlier, longer reply past the received count. They must not be decoded.
TEST_F(LineDeltaTest, RowRunningPastTheReceivedBytesStopsThere)
{
    const Bytes stale(300000, 0x07);
    Receive(st, Reply(stale));

    Bytes d;
    Put(d, {0x01, 0x05, 0xFF, 0x01, 0x06});  // ends before the run count
    Decode(d, 9);
    Expect({{0, 0, 256, 5}, {0, 256, 1, 6}, {0, 257, 480 * 640 - 257, kOld}});
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(640, 9).palette));

    // Literals announced but not all received: that group writes nothing.
    Prepare(640);
    d.clear();
    Put(d, {0x01, 0x05, 0xFF, 0xC8, 1, 2, 3});
    Decode(d);
    Expect({{0, 0, 256, 5}, {0, 256, 640, kOld}});
}

// A stream that ends inside a row of many short groups: the row keeps its
// earlier pixels from the last pixel its complete groups wrote onwards, also
// when the groups before the end wrote nothing (empty runs of index 0).
TEST_F(LineDeltaTest, StreamEndingInsideARowOfShortGroupsLeavesTheRestOfTheRow)
{
    for (int shortGroups : {1, 2, 7, 30}) {
        for (int tail : {0, 1, 3}) {
            Prepare(640);
            Bytes d;
            int p = 0;
            for (int g = 0; g < shortGroups; ++g) {
                Put(d, {2, 10 + g % 50, 11 + g % 50, 1});  // 2 literals, a run of 1
                p += 3;
            }
            for (int k = 0; k < 200; ++k) Put(d, {0, 0});  // groups that write nothing
            d.resize(d.size() - static_cast<size_t>(tail));
            Decode(d);
            EXPECT_NE(Row(0)[p - 1], kOld);
            EXPECT_TRUE(All(Row(0) + p, static_cast<size_t>(640 - p), kOld))
                << shortGroups << " short groups, tail cut " << tail;
        }
    }
}

TEST_F(LineDeltaTest, NoWidthDecodesNothing)
{
    st.imageWidth = 0;
    Bytes d;
    Put(d, {0x02, 0x05, 0x07, 0xFF});
    const DecodeResult r = Decode(d, 4);
    EXPECT_FALSE(r.refused);
    EXPECT_TRUE(All(st.pixels.data(), kBufferSize, kOld));
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(640, 4).palette));
}

class FullFrameTest : public ::testing::Test {
protected:
    FullFrameTest() { FillOld(st); }
    PollState st;
};

void SetOffBits(Bytes& reply, uint32_t offBits)
{
    for (int b = 0; b < 4; ++b) reply[static_cast<size_t>(14 + b)] = static_cast<uint8_t>(offBits >> (8 * b));
}

TEST_F(FullFrameTest, DecodesPixelsHeaderFieldsAndReportsWidthChanges)
{
    Bytes pixels(640 * 480);
    std::iota(pixels.begin(), pixels.end(), uint8_t{0});
    Bytes reply = Reply(pixels, 640, 3);
    // Distinct values in biSizeImage, biXPelsPerMeter and biYPelsPerMeter (BMP
    // offsets 34, 38, 42), so that a field taken from the wrong place shows.
    const uint8_t fields[12] = {0x11, 0x22, 0x33, 0x04, 0x55, 0x66, 0x77, 0x08, 0x99, 0xAA, 0xBB, 0x0C};
    std::copy(std::begin(fields), std::end(fields), reply.begin() + 4 + 34);
    DecodeResult r = Decode(st, Receive(st, reply));
    EXPECT_TRUE(r.fullFrame);
    EXPECT_TRUE(r.widthChanged);
    EXPECT_FALSE(r.refused);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), st.pixels.data()));
    EXPECT_EQ(st.requestMode, kModeLineDelta);
    EXPECT_EQ(st.imageWidth, 640);
    EXPECT_EQ(st.laidOutWidth, 640);
    EXPECT_EQ(st.frameInfo.bmiHeader.biSizeImage, 0x04332211u);
    EXPECT_EQ(st.frameInfo.bmiHeader.biXPelsPerMeter, 0x08776655);
    EXPECT_EQ(st.frameInfo.bmiHeader.biYPelsPerMeter, 0x0CBBAA99);
    EXPECT_EQ(st.frameInfo.bmiHeader.biWidth, 0);  // laid out by the window, not the reply
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(640, 3).palette));

    // Then: pixel bytes, the header's width, the width taken, whether it changed. The
    // width follows the received count alone: 350000 bytes or fewer are 640 wide.
    const std::tuple<int32_t, int, int16_t, bool> next[] = {{640 * 480, 640, 640, false},
                                                            {800 * 480, 800, 800, true},
                                                            {350000 - wire::kReplyHeaderSize, 800, 640, true},
                                                            {350001 - wire::kReplyHeaderSize, 800, 800, true}};
    for (const auto& [size, header, width, changed] : next) {
        st.requestMode = kModeWhole;
        r = Decode(st, Receive(st, Reply(Bytes(static_cast<size_t>(size), 1), header)));
        EXPECT_TRUE(r.fullFrame) << size;
        EXPECT_EQ(r.widthChanged, changed) << size;
        EXPECT_EQ(st.imageWidth, width) << size;
        EXPECT_EQ(st.laidOutWidth, width) << size;
    }
}

TEST_F(FullFrameTest, ShortFrameCopiesOnlyWhatArrived)
{
    const Bytes reply = Reply(Bytes(640 * 480, 3), 640);
    const int32_t received = wire::kReplyHeaderSize + 1000;
    std::memcpy(st.reply.data(), reply.data(), reply.size());  // the rest sits in reply unreceived
    const DecodeResult r = Decode(st, received);
    EXPECT_TRUE(r.fullFrame);
    EXPECT_TRUE(All(st.pixels.data(), 1000, 3));
    EXPECT_TRUE(All(st.pixels.data() + 1000, kBufferSize - 1000, kOld));
    EXPECT_EQ(st.imageWidth, 640);
}

TEST_F(FullFrameTest, PixelStartBeyondTheReceivedBytesStillLoadsPaletteAndWidth)
{
    std::fill(st.headers.data(), st.headers.data() + kBufferSize, 0x5A);
    Bytes reply = Reply(Bytes(640 * 480, 3), 640, 12);
    SetOffBits(reply, 2000);
    const int32_t received = 1500;
    std::memcpy(st.reply.data(), reply.data(), reply.size());
    const DecodeResult r = Decode(st, received);
    EXPECT_TRUE(r.fullFrame);
    EXPECT_TRUE(r.widthChanged);
    EXPECT_EQ(st.requestMode, kModeLineDelta);
    EXPECT_EQ(st.imageWidth, 640);
    EXPECT_TRUE(All(st.pixels.data(), kBufferSize, kOld));
    EXPECT_TRUE(SamePalette(st.frameInfo, ScreenWith(640, 12).palette));
    EXPECT_EQ(st.headers[received - 5], reply[received - 1]);
    EXPECT_TRUE(All(st.headers.data() + received - 4, 2000 - (received - 4), 0x5A));
}

// Pixel offsets past the buffer, and 17 bytes received: too few for the headers.
TEST_F(FullFrameTest, HeadersThatDoNotFitAreRefusedWithoutChangingAnything)
{
    const std::pair<uint32_t, int32_t> cases[] = {
        {399998u, 0}, {0x7FFFFFFFu, 0}, {0x80000000u, 0}, {0xFFFFFFFFu, 0}, {1078u, 17}};  // 0: all received
    for (const auto& [offBits, received] : cases) {
        PollState s;
        FillOld(s);
        Bytes reply = Reply(Bytes(800 * 480, 3), 800, 1);
        SetOffBits(reply, offBits);
        const int32_t whole = Receive(s, reply);
        const DecodeResult r = Decode(s, received > 0 ? received : whole);
        EXPECT_TRUE(r.refused) << offBits << ", " << received;
        EXPECT_FALSE(r.fullFrame);
        EXPECT_EQ(s.requestMode, kModeWhole);
        EXPECT_EQ(s.imageWidth, 0);
        EXPECT_TRUE(All(s.headers.data(), kBufferSize, 0));
        EXPECT_TRUE(All(s.pixels.data(), kBufferSize, kOld));
        EXPECT_EQ(s.frameInfo.bmiColors[1].rgbBlue, 0);
        EXPECT_EQ(s.frameInfo.bmiHeader.biSizeImage, 0u);
    }
    // The largest accepted offset puts the last header byte at reply 400000.
    PollState s;
    Bytes reply = Reply(Bytes(800 * 480, 3), 800, 1);
    SetOffBits(reply, 399997);
    EXPECT_FALSE(Decode(s, Receive(s, reply)).refused);
    EXPECT_EQ(s.headers[static_cast<int32_t>(reply.size()) - 5], reply.back());
}

TEST_F(FullFrameTest, ColourEntriesKeepBlueGreenRedReservedOrder)
{
    Bytes reply = Reply(Bytes(640 * 480, 0));
    for (int c = 0; c < 256; ++c) {
        reply[static_cast<size_t>(58 + 4 * c)] = static_cast<uint8_t>(c);
        reply[static_cast<size_t>(59 + 4 * c)] = static_cast<uint8_t>(255 - c);
        reply[static_cast<size_t>(60 + 4 * c)] = static_cast<uint8_t>(c ^ 0x55);
        reply[static_cast<size_t>(61 + 4 * c)] = static_cast<uint8_t>(c / 2);
    }
    Decode(st, Receive(st, reply));
    for (int c = 0; c < 256; ++c) {
        const auto& q = st.frameInfo.bmiColors[static_cast<size_t>(c)];
        ASSERT_EQ(q.rgbBlue, c);
        ASSERT_EQ(q.rgbGreen, 255 - c);
        ASSERT_EQ(q.rgbRed, c ^ 0x55);
        ASSERT_EQ(q.rgbReserved, c / 2);
    }
}

}  // namespace
}  // namespace karvolen
