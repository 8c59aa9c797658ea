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
