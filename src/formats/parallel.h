// Work shared among the machine's cores.
#pragma once

#include <functional>

// The threads a decode may keep busy at once: one a core.
int cores();

// Runs work(first, last) over 0..count in as many parts as there are cores, at once; fewer where
// a part would hold less than `least`.
void inparallel(int count, const std::function<void(int first, int last)> &work, int least = 16);
