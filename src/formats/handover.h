// Memory for a picture that a decoder can hand to the window whole, without a copy. A program
// whose decoders do so defines these and exports them to the readers it loads; elsewhere they are
// absent, and pictures are made on the heap.
#pragma once

#include <cstddef>

extern "C" {
// Zeroed memory of this many bytes, or null where none is offered.
[[gnu::weak]] void *porvane_takepixels(std::size_t length);
// Gives back memory the first one took.
[[gnu::weak]] void porvane_givepixels(void *at);
}
