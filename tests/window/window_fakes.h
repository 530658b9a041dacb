// Fakes around Form1: answered message boxes, and a Quellbar on a link.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "encoder.h"
#include "fetch_cycle.h"
#include "screen.h"
#include "window/form1.h"

namespace karvolen::testing {

struct ShownBox {
    QString text;
    QString title;
    int style;
};

class FakeBoxes : public MessageBoxes {
public:
    int Show(QWidget*, const QString& text, const QString& title, int style) override
    {
        shown.push_back({text, title, style});
        if (onShow) {
            onShow(shown.back());
        }
        if (answers.empty()) {
            return IDOK;
        }
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<ShownBox> shown;
    std::deque<int> answers;
    std::function<void(const ShownBox&)> onShow;
};

class StillClock : public fetch::Clock {
public:
    double Now() override { return 0.0; }
};

// Answers "BMP? 0" / "BMP? 2" like the instrument, with hooks for faults.
class FakeQuellbar : public LinkApi {
public:
    explicit FakeQuellbar(int width = 800) : gen(width, 7) {}

    int32_t OpenCom() override
    {
        ++opens;
        if (throwOnOpen) {
            throw LinkUnavailable("no library");
        }
        open = openResult >= 0;
        return openResult;
    }
    int32_t CloseCom() override
    {
        ++closes;
        open = false;
        return 0;
    }
    int32_t WriteCom(const uint8_t* data, int32_t length) override
    {
        if (!open) {
            return -102;
        }
        requests.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        const Screen& s = frozen ? gen.Current() : gen.Next();
        if (requests.back() == "BMP? 2\r\n" && !sent.empty()) {
            reply = quellbar::BuildReply(
                quellbar::BuildBmp(s, quellbar::EncodeLineDelta(sent.data(), s.pixels.data(), s.width)));
        } else {
            reply = quellbar::BuildReply(quellbar::BuildBmp(s, s.pixels));
        }
        if (garbage) {
            reply.assign(reply.size(), 0x55);
        }
        if (mutate) {
            mutate(reply);
        }
        sent = s.pixels;
        pos = 0;
        return length;
    }
    int32_t ReadCom(uint8_t* buffer, int32_t length) override
    {
        if (!open) {
            return -101;
        }
        ++readCount;
        if (onRead) {
            onRead(readCount);
        }
        if (silent) {
            return 0;
        }
        const size_t n = std::min(reply.size() - pos, static_cast<size_t>(std::max(0, length)));
        std::memcpy(buffer, reply.data() + pos, n);
        pos += n;
        return static_cast<int32_t>(n);
    }

    using Screen = quellbar::Screen;
    quellbar::ScreenGenerator gen;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> reply;
    size_t pos = 0;
    std::vector<std::string> requests;
    int32_t openResult = 0;
    bool throwOnOpen = false;
    bool open = false;
    bool silent = false;
    bool garbage = false;
    bool frozen = false;
    int opens = 0;
    int closes = 0;
    int readCount = 0;
    std::function<void(int)> onRead;
    std::function<void(std::vector<uint8_t>&)> mutate;
};

inline void Pump(int ms = 50)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

}  // namespace karvolen::testing
