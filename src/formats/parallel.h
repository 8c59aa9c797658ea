// Work shared among the machine's cores.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads a decode may keep busy at once: one a core.
int cores();

// Runs work(first, last) over 0..count in as many parts as there are cores, at once; fewer where
// a part would hold less than `least`.
void inparallel(int count, const std::function<void(int first, int last)> &work, int least = 16);

// Work handed from one thread to another as it comes, in order, so that producing the next piece
// (decoding a row, say) and using the last (gathering it) share two cores. At most `depth` pieces
// wait at once; the pieces' buffers are used again.
class conveyor
{
public:
    conveyor(std::function<void(const std::vector<unsigned char> &)> use, int depth);
    // Waits for every piece handed over to be used.
    ~conveyor();

    // Hands over a copy of the bytes, waiting while `depth` pieces are waiting already.
    void hand(const unsigned char *bytes, size_t size);
    // Waits until every piece handed over has been used.
    void drain();

private:
    void run();

    std::function<void(const std::vector<unsigned char> &)> use;
    size_t depth;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<unsigned char>> waiting;
    std::vector<std::vector<unsigned char>> spare;
    bool using_ = false;
    bool closed = false;
    std::thread worker;
};
