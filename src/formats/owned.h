// What a C library makes, owned until it is freed with the function the library gives for it.
#pragma once

#include <memory>

template<auto release> struct freed
{
    template<typename made> void operator()(made *it) const { release(it); }
};

template<typename made, auto release> using owned = std::unique_ptr<made, freed<release>>;
