// How the samples along one side of a channel's grid make the pixels along that side of the
// picture: the weights the averager gathers with.
#pragma once

#include <QtGlobal>
#include <vector>

namespace pixels {

// Reducing, each pixel averages what its stretch of the side covers: a sample weighs `pixels`,
// split between the one or two pixels it falls in, and a pixel gathers `samples` in all.
// Enlarging (subsampled chroma, or a picture shown larger), each pixel takes the sample under it.
struct side
{
    side() = default;
    side(int samples, int pixels);

    bool gathers = true;
    qint64 total = 1; // the weight a pixel gathers
    qint64 weight = 1; // a sample's weight
    std::vector<int> owner; // the first pixel a sample falls in, or -1
    std::vector<int> share; // of its weight, what falls in that pixel; the rest falls in the next
    std::vector<int> first; // the first sample that reaches a pixel, or the one under it
    std::vector<int> count; // the samples that reach a pixel (1 where it takes the one under it)
};

} // namespace pixels
