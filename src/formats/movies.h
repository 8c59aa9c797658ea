// How the window's movie finds its reader: the plugin keyed by the animation format, in a folder
// looked in before every other reader's (the toolkit asks readers in turn, loading each, until one
// takes a format), makes its handlers with a function the program offers as an application
// property.
#pragma once

class QIODevice;
class QImageIOHandler;

namespace movies {

inline constexpr char property[] = "porvane.movies";
using maker = QImageIOHandler *(*)(QIODevice *);

} // namespace movies
