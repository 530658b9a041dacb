// Fakes around MainWindow: answered message boxes; the Quellbar is FakeQuellbar.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <deque>
#include <functional>
#include <ostream>
#include <vector>

#include "fake_quellbar.h"
#include "window/main_window.h"

namespace karvolen::testing {

struct ShownBox {
    QString text, title;
    int style;
    bool operator==(const ShownBox&) const = default;
};

inline void PrintTo(const ShownBox& b, std::ostream* os)
{
    *os << "[" << b.title.toStdString() << "] " << b.text.toStdString() << " (style " << b.style << ")";
}

class FakeBoxes : public MessageBoxes {
public:
    int Show(QWidget*, const QString& text, const QString& title, int style) override
    {
        shown.push_back({text, title, style});
        if (onShow) onShow(shown.back());
        if (answers.empty()) return IDOK;
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<ShownBox> shown;
    std::deque<int> answers;
    std::function<void(const ShownBox&)> onShow;
};

inline void Pump(int ms = 50)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

}  // namespace karvolen::testing
