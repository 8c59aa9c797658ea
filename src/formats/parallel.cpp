#include "parallel.h"

#include <QThread>
#include <QtGlobal>
#include <thread>
#include <vector>

int cores()
{
    return qMax(1, QThread::idealThreadCount());
}

void inparallel(int count, const std::function<void(int, int)> &work, int least)
{
    const int parts = qBound(1, cores(), qMax(1, count / qMax(1, least)));
    std::vector<std::thread> helpers;
    for (int i = 1; i < parts; ++i)
        helpers.emplace_back(
            work, int(qint64(count) * i / parts), int(qint64(count) * (i + 1) / parts));
    work(0, count / parts);
    for (std::thread &helper : helpers)
        helper.join();
}

conveyor::conveyor(std::function<void(const std::vector<unsigned char> &)> use, int depth)
    : use(std::move(use))
    , depth(size_t(qMax(1, depth)))
    , worker([this] { run(); })
{ }

conveyor::~conveyor()
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        closed = true;
    }
    changed.notify_all();
    worker.join();
}

void conveyor::hand(const unsigned char *bytes, size_t size)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return waiting.size() < depth; });
    std::vector<unsigned char> piece;
    if (!spare.empty()) {
        piece = std::move(spare.back());
        spare.pop_back();
    }
    piece.assign(bytes, bytes + size);
    waiting.push_back(std::move(piece));
    changed.notify_all();
}

void conveyor::drain()
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return waiting.empty() && !using_; });
}

void conveyor::run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return closed || !waiting.empty(); });
        if (waiting.empty())
            return;
        std::vector<unsigned char> piece = std::move(waiting.front());
        waiting.pop_front();
        using_ = true;
        changed.notify_all();
        guard.unlock();
        use(piece);
        guard.lock();
        using_ = false;
        spare.push_back(std::move(piece));
        changed.notify_all();
    }
}
